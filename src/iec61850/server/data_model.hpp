// What the MMS services serve from. The IEC 61850 layer implements it from
// its model; InMemoryModel is a simple implementation for tests and tools.
// The server calls it only while holding the data-model mutex.
#pragma once

#include "iec61850/mms/file_service.hpp"
#include "iec61850/mms/pdu.hpp"
#include "iec61850/mms/type_description.hpp"
#include "iec61850/mms/value.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace iec61850::server {

using ConnectionId = std::uint32_t;

// The client a request comes from; one per connection.
struct ClientContext {
    ConnectionId id = 0;
    std::string localAddress;  // "127.0.0.1:4102"
    std::string peerAddress;
    void* user = nullptr;         // free for the upper layer
    std::int32_t maxPduSize = 0;  // negotiated; 0 until associated
};

enum class NameClass : std::uint8_t { NamedVariable, NamedVariableList, Journal };

class MmsDataModel {
public:
    // Called with each name in getNameList order; return false to stop.
    using NameVisitor = std::function<bool(std::string_view name)>;

    virtual ~MmsDataModel() = default;

    // Domain names in order, those strictly after `after` (empty: all).
    virtual void visitDomains(std::string_view after, const NameVisitor& visit) const = 0;
    // Names of one class in a domain, strictly after `after`. Variable names
    // include every `$` component path. False if the domain does not exist.
    virtual bool visitNames(std::string_view domain, NameClass cls, std::string_view after,
                            const NameVisitor& visit) const = 0;

    // Type of a named variable or of a `$` component; nullptr if none.
    virtual const mms::TypeDescription* typeOf(std::string_view domain, std::string_view item) const = 0;
    // The value, or a DataAccessError value.
    virtual mms::Value read(const ClientContext& client, std::string_view domain, std::string_view item) = 0;
    // The same written as one AccessResult (Data, or the failure); a model
    // may encode straight from its data instead of building a value first.
    virtual void encodeRead(const ClientContext& client, std::string_view domain, std::string_view item,
                            ber::Writer& w)
    {
        read(client, domain, item).encode(w);
    }
    // Empty on success. The model checks type and shape.
    virtual std::optional<mms::DataAccessError> write(const ClientContext& client, std::string_view domain,
                                                      std::string_view item, const mms::Value& value) = 0;
    // Members of a named variable list; false if there is no such list.
    virtual bool variableListMembers(std::string_view domain, std::string_view name,
                                     std::vector<mms::ObjectName>& members) const = 0;

    // Up to maxEntries entries of a journal that the request selects, in log
    // order; more than maxEntries are never asked for, so asking for one more
    // than fits tells whether more follow. False if there is no such journal.
    virtual bool readJournal(const ClientContext&, std::string_view /*domain*/, std::string_view /*journal*/,
                             const mms::ReadJournalRequest&, std::size_t /*maxEntries*/,
                             std::vector<mms::JournalEntry>& /*entries*/)
    {
        return false;
    }

    // A client connected / went away (released, aborted or just closed).
    virtual void connectionOpened(ClientContext&) {}
    virtual void connectionClosed(const ClientContext&) {}
};

// The order of getNameList: case-insensitive, ties broken by exact bytes.
bool nameLess(std::string_view a, std::string_view b);

}  // namespace iec61850::server
