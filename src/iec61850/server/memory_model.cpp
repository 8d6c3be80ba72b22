#include "iec61850/server/memory_model.hpp"

#include <algorithm>

namespace iec61850::server {

namespace {

char lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Splits "LLN0$ST$Beh" into "LLN0" and "ST$Beh".
std::pair<std::string_view, std::string_view> splitFirst(std::string_view path)
{
    std::size_t dollar = path.find('$');
    if (dollar == std::string_view::npos)
        return {path, {}};
    return {path.substr(0, dollar), path.substr(dollar + 1)};
}

void addComponentNames(std::string& prefix, const mms::TypeDescription& type, std::vector<std::string>& out)
{
    if (type.kind() != mms::TypeDescription::Kind::Structure)
        return;
    for (const mms::TypeDescription& c : type.components()) {
        std::size_t keep = prefix.size();
        prefix += '$';
        prefix += c.name();
        out.push_back(prefix);
        addComponentNames(prefix, c, out);
        prefix.resize(keep);
    }
}

template <typename Visit>
void visitSorted(const std::vector<std::string>& sorted, std::string_view after, Visit&& visit)
{
    auto it = after.empty() ? sorted.begin()
                            : std::upper_bound(sorted.begin(), sorted.end(), after,
                                               [](std::string_view a, const std::string& b) { return nameLess(a, b); });
    for (; it != sorted.end(); ++it)
        if (!visit(*it))
            return;
}

void insertSorted(std::vector<std::string>& sorted, std::string_view name)
{
    auto it = std::upper_bound(sorted.begin(), sorted.end(), name,
                               [](std::string_view a, const std::string& b) { return nameLess(a, b); });
    sorted.emplace(it, name);
}

}  // namespace

bool nameLess(std::string_view a, std::string_view b)
{
    std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        char x = lower(a[i]), y = lower(b[i]);
        if (x != y)
            return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    }
    if (a.size() != b.size())
        return a.size() < b.size();
    return a < b;
}

void InMemoryModel::NameTable::add(std::string_view name)
{
    spans.emplace_back(static_cast<std::uint32_t>(text.size()), static_cast<std::uint32_t>(name.size()));
    text.append(name);
}

void InMemoryModel::NameTable::sort()
{
    std::sort(spans.begin(), spans.end(), [this](const auto& a, const auto& b) {
        std::string_view t(text);
        return nameLess(t.substr(a.first, a.second), t.substr(b.first, b.second));
    });
}

void InMemoryModel::NameTable::visitAfter(std::string_view after, const NameVisitor& visit) const
{
    std::size_t first = 0;
    if (!after.empty()) {
        auto it = std::upper_bound(spans.begin(), spans.end(), after, [this](std::string_view a, const auto& span) {
            return nameLess(a, std::string_view(text).substr(span.first, span.second));
        });
        first = static_cast<std::size_t>(it - spans.begin());
    }
    for (std::size_t i = first; i < spans.size(); ++i)
        if (!visit(at(i)))
            return;
}

void InMemoryModel::addDomain(std::string_view name)
{
    if (!domain(name))
        domains_.emplace(std::string(name), Domain{});
}

bool InMemoryModel::addVariable(std::string_view domainName, std::string_view name, mms::TypeDescription type)
{
    mms::Value initial = type.defaultValue();
    return addVariable(domainName, name, std::move(type), std::move(initial));
}

bool InMemoryModel::addVariable(std::string_view domainName, std::string_view name, mms::TypeDescription type,
                                mms::Value value)
{
    Domain* d = domain(domainName);
    if (!d || name.empty() || name.find('$') != std::string_view::npos || !mms::conforms(value, type))
        return false;
    auto [it, inserted] = d->variables.try_emplace(std::string(name), Variable{std::move(type), std::move(value)});
    d->namesStale = d->namesStale || inserted;
    return inserted;
}

bool InMemoryModel::addVariableList(std::string_view domainName, std::string_view name,
                                    std::vector<mms::ObjectName> members)
{
    Domain* d = domain(domainName);
    if (!d || name.empty())
        return false;
    return d->lists.try_emplace(std::string(name), std::move(members)).second;
}

bool InMemoryModel::addJournal(std::string_view domainName, std::string_view name)
{
    Domain* d = domain(domainName);
    if (!d || name.empty() || std::find(d->journals.begin(), d->journals.end(), name) != d->journals.end())
        return false;
    insertSorted(d->journals, name);
    return true;
}

InMemoryModel::Domain* InMemoryModel::domain(std::string_view name)
{
    auto it = domains_.find(name);
    return it == domains_.end() ? nullptr : &it->second;
}

const InMemoryModel::Domain* InMemoryModel::domain(std::string_view name) const
{
    auto it = domains_.find(name);
    return it == domains_.end() ? nullptr : &it->second;
}

InMemoryModel::Found InMemoryModel::find(std::string_view domainName, std::string_view item) const
{
    const Domain* d = domain(domainName);
    if (!d)
        return {};
    auto [top, rest] = splitFirst(item);
    auto it = d->variables.find(top);
    if (it == d->variables.end())
        return {};
    const mms::TypeDescription* type = &it->second.type;
    // The model owns its values; handing out a mutable pointer from a const
    // lookup lets both value() overloads share this walk.
    mms::Value* value = const_cast<mms::Value*>(&it->second.value);
    while (!rest.empty()) {
        auto [name, tail] = splitFirst(rest);
        int index = type->kind() == mms::TypeDescription::Kind::Structure ? type->componentIndex(name) : -1;
        if (index < 0 || static_cast<std::size_t>(index) >= value->size())
            return {};
        type = &type->components()[static_cast<std::size_t>(index)];
        value = &(*value)[static_cast<std::size_t>(index)];
        rest = tail;
    }
    if (item.empty() || item.back() == '$')
        return {};
    return {type, value};
}

mms::Value* InMemoryModel::value(std::string_view domainName, std::string_view item)
{
    return find(domainName, item).value;
}

const mms::Value* InMemoryModel::value(std::string_view domainName, std::string_view item) const
{
    return find(domainName, item).value;
}

void InMemoryModel::refreshNames(const Domain& d) const
{
    if (!d.namesStale)
        return;
    std::vector<std::string> names;
    std::string prefix;
    for (const auto& [name, variable] : d.variables) {
        prefix = name;
        names.push_back(prefix);
        addComponentNames(prefix, variable.type, names);
    }
    NameTable table;
    std::size_t textSize = 0;
    for (const std::string& n : names)
        textSize += n.size();
    table.text.reserve(textSize);
    table.spans.reserve(names.size());
    for (const std::string& n : names)
        table.add(n);
    table.sort();
    d.variableNames = std::move(table);
    d.namesStale = false;
}

void InMemoryModel::visitDomains(std::string_view after, const NameVisitor& visit) const
{
    std::vector<std::string> sorted;
    sorted.reserve(domains_.size());
    for (const auto& entry : domains_)
        insertSorted(sorted, entry.first);
    visitSorted(sorted, after, visit);
}

bool InMemoryModel::visitNames(std::string_view domainName, NameClass cls, std::string_view after,
                               const NameVisitor& visit) const
{
    const Domain* d = domain(domainName);
    if (!d)
        return false;
    switch (cls) {
    case NameClass::NamedVariable:
        refreshNames(*d);
        d->variableNames.visitAfter(after, visit);
        break;
    case NameClass::NamedVariableList: {
        std::vector<std::string> sorted;
        for (const auto& entry : d->lists)
            insertSorted(sorted, entry.first);
        visitSorted(sorted, after, visit);
        break;
    }
    case NameClass::Journal:
        visitSorted(d->journals, after, visit);
        break;
    }
    return true;
}

const mms::TypeDescription* InMemoryModel::typeOf(std::string_view domainName, std::string_view item) const
{
    return find(domainName, item).type;
}

mms::Value InMemoryModel::read(const ClientContext&, std::string_view domainName, std::string_view item)
{
    const mms::Value* v = find(domainName, item).value;
    return v ? *v : mms::Value::error(mms::DataAccessError::ObjectNonExistent);
}

std::optional<mms::DataAccessError> InMemoryModel::write(const ClientContext& client, std::string_view domainName,
                                                         std::string_view item, const mms::Value& value)
{
    Found f = find(domainName, item);
    if (!f.value)
        return mms::DataAccessError::ObjectNonExistent;
    if (!mms::conforms(value, *f.type))
        return mms::DataAccessError::TypeInconsistent;
    if (writeCheck_)
        if (auto refused = writeCheck_(client, domainName, item, value))
            return refused;
    *f.value = value;
    if (writeObserver_)
        writeObserver_(client, domainName, item, value);
    return std::nullopt;
}

bool InMemoryModel::variableListMembers(std::string_view domainName, std::string_view name,
                                        std::vector<mms::ObjectName>& members) const
{
    const Domain* d = domain(domainName);
    if (!d)
        return false;
    auto it = d->lists.find(name);
    if (it == d->lists.end())
        return false;
    members = it->second;
    return true;
}

}  // namespace iec61850::server
