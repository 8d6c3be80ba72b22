// An MmsDataModel held in memory: domains of named variables (a TypeDescription and
// a Value each, with `$` component access), named variable lists and
// journal names. Used by tests, the fuzz target and the benchmark.
#pragma once

#include "iec61850/server/data_model.hpp"

#include <map>
#include <memory>
#include <utility>

namespace iec61850::server {

class InMemoryModel : public MmsDataModel {
public:
    // Decides a write before it is applied; empty allows it.
    using WriteCheck = std::function<std::optional<mms::DataAccessError>(
        const ClientContext&, std::string_view domain, std::string_view item, const mms::Value&)>;
    using WriteObserver = std::function<void(const ClientContext&, std::string_view domain, std::string_view item,
                                             const mms::Value&)>;

    void addDomain(std::string_view domain);
    // Adds a top-level named variable. Without a value it starts with the
    // type's default value. False if the name exists or the value does not conform.
    bool addVariable(std::string_view domain, std::string_view name, mms::TypeDescription type);
    bool addVariable(std::string_view domain, std::string_view name, mms::TypeDescription type, mms::Value value);
    bool addVariableList(std::string_view domain, std::string_view name, std::vector<mms::ObjectName> members);
    bool addJournal(std::string_view domain, std::string_view name);

    // The stored value of a variable or component, for the application to
    // read or update (under the server's model mutex); nullptr if none.
    mms::Value* value(std::string_view domain, std::string_view item);
    const mms::Value* value(std::string_view domain, std::string_view item) const;

    void setWriteCheck(WriteCheck check) { writeCheck_ = std::move(check); }
    void setWriteObserver(WriteObserver observer) { writeObserver_ = std::move(observer); }

    void visitDomains(std::string_view after, const NameVisitor& visit) const override;
    bool visitNames(std::string_view domain, NameClass cls, std::string_view after,
                    const NameVisitor& visit) const override;
    const mms::TypeDescription* typeOf(std::string_view domain, std::string_view item) const override;
    mms::Value read(const ClientContext& client, std::string_view domain, std::string_view item) override;
    std::optional<mms::DataAccessError> write(const ClientContext& client, std::string_view domain,
                                              std::string_view item, const mms::Value& value) override;
    bool variableListMembers(std::string_view domain, std::string_view name,
                             std::vector<mms::ObjectName>& members) const override;

private:
    struct Variable {
        mms::TypeDescription type;
        mms::Value value;
    };
    // Names kept in one text block, sorted in getNameList order.
    struct NameTable {
        std::string text;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> spans;  // offset, length

        std::string_view at(std::size_t i) const { return std::string_view(text).substr(spans[i].first, spans[i].second); }
        void add(std::string_view name);
        void sort();
        void visitAfter(std::string_view after, const NameVisitor& visit) const;
    };
    struct Domain {
        std::map<std::string, Variable, std::less<>> variables;
        std::map<std::string, std::vector<mms::ObjectName>, std::less<>> lists;
        std::vector<std::string> journals;
        mutable NameTable variableNames;
        mutable bool namesStale = true;
    };
    struct Found {
        const mms::TypeDescription* type = nullptr;
        mms::Value* value = nullptr;
    };

    Domain* domain(std::string_view name);
    const Domain* domain(std::string_view name) const;
    Found find(std::string_view domain, std::string_view item) const;
    void refreshNames(const Domain& d) const;

    std::map<std::string, Domain, std::less<>> domains_;
    WriteCheck writeCheck_;
    WriteObserver writeObserver_;
};

}  // namespace iec61850::server
