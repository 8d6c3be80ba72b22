// iec-client: a small MMS client for installers.

#include "iec61850/client/mms_connection.hpp"
#include "iec61850/client/value_text.hpp"

#include <csignal>
#include <functional>
#include <optional>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace iec61850;
using client::MmsConnection;

constexpr const char* kUsage =
    "usage: iec-client [-h host] [-p port] [-t timeout-ms] <command>\n"
    "commands:\n"
    "  identify                          vendor, model and revision of the server\n"
    "  devices                           logical devices (MMS domains)\n"
    "  nodes <domain>                    logical nodes of a device\n"
    "  vars <domain> [<prefix>]          variables of a device, optionally by prefix\n"
    "  lists <domain>                    data sets (named variable lists)\n"
    "  read <domain>/<item$path>         read a value\n"
    "  write <domain>/<item$path> <type> <value>\n"
    "                                    types: bool int uint float double string\n"
    "                                    octets(hex) bits(0/1 per bit) utctime(ISO 8601 or ms)\n"
    "  type <domain>/<item$path>         type description\n"
    "  watch [seconds] [--enable <domain>/<LLN0$RP$rcb>]\n"
    "                                    print information reports; --enable sets RptEna first\n"
    "  journal <domain>/<LLN0$log> [--from ISO] [--to ISO]\n"
    "                                    entries of a log (journal), times as for utctime\n"
    "  dir [<path>]                      files of the server's file store\n"
    "  get <remote> [<local>]            fetch a file (local name: the remote's last component)\n"
    "  del <name>                        delete a file\n"
    "  rename <old> <new>                rename a file\n"
    "defaults: host 127.0.0.1, port 4102, timeout 5000 ms\n";

volatile std::sig_atomic_t interrupted = 0;

struct Options {
    client::ConnectOptions connect;
    std::vector<std::string> args;  // the command and its arguments
};

int fail(const std::string& message)
{
    std::cerr << "iec-client: " << message << '\n';
    return 1;
}

int usageError(const std::string& message)
{
    std::cerr << "iec-client: " << message << '\n' << kUsage;
    return 2;
}

template <typename T>
bool parseInt(std::string_view text, T low, T high, T& out)
{
    char* end = nullptr;
    const std::string s(text);
    const long long v = std::strtoll(s.c_str(), &end, 10);
    if (s.empty() || *end != '\0' || v < static_cast<long long>(low) || v > static_cast<long long>(high))
        return false;
    out = static_cast<T>(v);
    return true;
}

// Returns 0 when parsed, else the exit status.
int parseOptions(int argc, char** argv, Options& o)
{
    o.connect.port = 4102;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--help") {
            std::cout << kUsage;
            return -1;
        }
        const bool takesValue = a == "-h" || a == "-p" || a == "-t";
        if (takesValue && i + 1 >= argc)
            return usageError(std::string(a) + " needs a value");
        if (a == "-h") {
            o.connect.host = argv[++i];
        } else if (a == "-p") {
            if (!parseInt<std::uint16_t>(argv[++i], 1, 65535, o.connect.port))
                return usageError("bad port: " + std::string(argv[i]));
        } else if (a == "-t") {
            int ms = 0;
            if (!parseInt<int>(argv[++i], 1, 3600000, ms))
                return usageError("bad timeout: " + std::string(argv[i]));
            o.connect.connectTimeoutMs = o.connect.requestTimeoutMs = ms;
        } else {
            o.args.assign(argv + i, argv + argc);
            break;
        }
    }
    if (o.args.empty())
        return usageError("no command");
    return 0;
}

bool splitReference(std::string_view ref, std::string& domain, std::string& item)
{
    const std::size_t slash = ref.find('/');
    if (slash == std::string_view::npos || slash == 0 || slash + 1 == ref.size())
        return false;
    domain = ref.substr(0, slash);
    item = ref.substr(slash + 1);
    return true;
}

int printNames(const client::Result<std::vector<std::string>>& names, std::string_view prefix = {},
               bool topLevelOnly = false)
{
    if (!names)
        return fail(names.error().describe());
    for (const std::string& n : *names) {
        if (topLevelOnly && n.find('$') != std::string::npos)
            continue;
        if (n.starts_with(prefix))
            std::cout << n << '\n';
    }
    return 0;
}

void printReport(const mms::InformationReport& report)
{
    const mms::VariableAccessSpec& access = report.access;
    std::cout << "report ";
    if (access.listName)
        std::cout << (access.listName->domain.empty() ? "" : access.listName->domain + "/") << access.listName->item;
    else
        std::cout << access.variables.size() << " variable(s)";
    std::cout << ", " << report.results.size() << " value(s)\n";
    for (std::size_t i = 0; i < report.results.size(); ++i) {
        std::cout << "  [" << i << "] ";
        if (!access.listName && i < access.variables.size()) {
            const mms::ObjectName& n = access.variables[i].name;
            std::cout << (n.domain.empty() ? "" : n.domain + "/") << n.item << " = ";
        }
        std::cout << report.results[i].toString() << '\n';
    }
    std::cout.flush();
}

struct WatchPlan {
    int seconds = -1;  // forever
    std::string rcbDomain;
    std::string rcb;
};

int watch(MmsConnection& c, const WatchPlan& plan)
{
    c.setReportHandler(printReport);
    const std::string rcbName = plan.rcbDomain + "/" + plan.rcb;
    if (!plan.rcb.empty()) {
        if (auto r = c.write(plan.rcbDomain, plan.rcb + "$RptEna", mms::Value::boolean(true)); !r)
            return fail("enabling " + rcbName + ": " + r.error().describe());
    }
    std::signal(SIGINT, [](int) { interrupted = 1; });
    std::signal(SIGTERM, [](int) { interrupted = 1; });
    long long leftMs = plan.seconds < 0 ? -1 : plan.seconds * 1000LL;
    while (!interrupted && leftMs != 0) {
        const int slice = leftMs < 0 || leftMs > 200 ? 200 : static_cast<int>(leftMs);
        if (auto r = c.waitForReports(slice); !r)
            return fail(r.error().describe());
        if (leftMs > 0)
            leftMs -= slice;
    }
    if (!plan.rcb.empty()) {
        if (auto r = c.write(plan.rcbDomain, plan.rcb + "$RptEna", mms::Value::boolean(false)); !r)
            return fail("disabling " + rcbName + ": " + r.error().describe());
    }
    return 0;
}

template <typename T>
int printResult(const client::Result<T>& r, const std::function<void(const T&)>& print)
{
    if (!r)
        return fail(r.error().describe());
    print(*r);
    return 0;
}

using Action = std::function<int(MmsConnection&)>;

int printDirectory(const client::Result<std::vector<mms::DirectoryEntry>>& r)
{
    if (!r)
        return fail(r.error().describe());
    for (const mms::DirectoryEntry& e : *r)
        std::cout << e.fileName << '\t' << e.attributes.size << '\t' << e.attributes.lastModified.value_or("-") << '\n';
    return 0;
}

int fetchFile(MmsConnection& c, const std::string& remote, const std::string& local)
{
    auto data = c.fileRead(remote);
    if (!data)
        return fail(remote + ": " + data.error().describe());
    std::ofstream out(local, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data->data()), static_cast<std::streamsize>(data->size()));
    if (!out.flush())
        return fail("cannot write " + local);
    std::cout << data->size() << " bytes to " << local << '\n';
    return 0;
}

int printDone(const client::Outcome& r)
{
    if (!r)
        return fail(r.error().describe());
    std::cout << "ok\n";
    return 0;
}

struct JournalPlan {
    std::string domain;
    std::string journal;
    std::optional<std::uint64_t> fromMs;
    std::optional<std::uint64_t> toMs;
};

std::string hexOf(ByteView bytes)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0F];
    }
    return out;
}

int printJournal(MmsConnection& c, const JournalPlan& plan)
{
    auto r = c.readWholeJournal(plan.domain, plan.journal, plan.fromMs, plan.toMs);
    if (!r)
        return fail(r.error().describe());
    for (const mms::JournalEntry& e : *r) {
        std::cout << client::formatUtcTime(e.occurrenceTime.binaryTimeMs()) << "  entry " << hexOf(e.entryId) << '\n';
        for (const mms::JournalVariable& v : e.variables)
            std::cout << "  " << v.tag << " = " << v.value.toString() << '\n';
    }
    std::cout << r->size() << " entr" << (r->size() == 1 ? "y" : "ies") << '\n';
    return 0;
}

// Checks the command line before anything is sent; empty with `error` set on misuse.
Action parseCommand(const std::vector<std::string>& args, std::string& error)
{
    const std::string& cmd = args[0];
    const std::size_t n = args.size();
    std::string domain, item;
    if (cmd == "identify" && n == 1)
        return [](MmsConnection& c) {
            return printResult<mms::IdentifyResponse>(c.identify(), [](const mms::IdentifyResponse& id) {
                std::cout << "vendor:   " << id.vendor << "\nmodel:    " << id.model << "\nrevision: " << id.revision
                          << '\n';
            });
        };
    if (cmd == "devices" && n == 1)
        return [](MmsConnection& c) { return printNames(c.domainNames()); };
    if (cmd == "nodes" && n == 2)
        return [d = args[1]](MmsConnection& c) { return printNames(c.variableNames(d), {}, true); };
    if (cmd == "vars" && (n == 2 || n == 3))
        return [d = args[1], prefix = n == 3 ? args[2] : std::string()](MmsConnection& c) {
            return printNames(c.variableNames(d), prefix);
        };
    if (cmd == "lists" && n == 2)
        return [d = args[1]](MmsConnection& c) { return printNames(c.variableListNames(d)); };
    if (cmd == "read" && n == 2 && splitReference(args[1], domain, item))
        return [domain, item](MmsConnection& c) {
            return printResult<mms::Value>(c.read(domain, item),
                                           [](const mms::Value& v) { std::cout << v.toString() << '\n'; });
        };
    if (cmd == "type" && n == 2 && splitReference(args[1], domain, item))
        return [domain, item](MmsConnection& c) {
            return printResult<mms::TypeDescription>(c.variableAccessAttributes(domain, item),
                                              [](const mms::TypeDescription& t) { std::cout << client::formatType(t); });
        };
    if (cmd == "write" && n == 4 && splitReference(args[1], domain, item)) {
        const auto type = client::parseValueType(args[2]);
        const auto value = type ? client::parseValue(*type, args[3]) : std::nullopt;
        if (!value) {
            error = type ? "not a " + args[2] + ": " + args[3] : "unknown type: " + args[2];
            return {};
        }
        return [domain, item, v = *value](MmsConnection& c) {
            if (auto r = c.write(domain, item, v); !r)
                return fail(r.error().describe());
            std::cout << "ok\n";
            return 0;
        };
    }
    if (cmd == "journal" && n >= 2 && splitReference(args[1], domain, item)) {
        JournalPlan plan{domain, item, {}, {}};
        for (std::size_t i = 2; i < n; ++i) {
            const bool from = args[i] == "--from";
            std::optional<std::uint64_t> ms;
            if ((from || args[i] == "--to") && i + 1 < n)
                ms = client::parseUtcTime(args[++i]);
            if (!ms) {
                error = "bad argument to journal: " + args[i];
                return {};
            }
            (from ? plan.fromMs : plan.toMs) = ms;
        }
        return [plan](MmsConnection& c) { return printJournal(c, plan); };
    }
    if (cmd == "dir" && n <= 2)
        return [path = n == 2 ? args[1] : std::string()](MmsConnection& c) { return printDirectory(c.fileDirectory(path)); };
    if (cmd == "get" && (n == 2 || n == 3)) {
        std::string local = n == 3 ? args[2] : args[1].substr(args[1].find_last_of('/') + 1);
        if (local.empty()) {
            error = "no local name for " + args[1];
            return {};
        }
        return [remote = args[1], local](MmsConnection& c) { return fetchFile(c, remote, local); };
    }
    if (cmd == "del" && n == 2)
        return [name = args[1]](MmsConnection& c) { return printDone(c.fileDelete(name)); };
    if (cmd == "rename" && n == 3)
        return [from = args[1], to = args[2]](MmsConnection& c) { return printDone(c.fileRename(from, to)); };
    if (cmd == "watch") {
        WatchPlan plan;
        for (std::size_t i = 1; i < n; ++i) {
            const bool enable = args[i] == "--enable" && i + 1 < n;
            if (enable ? !splitReference(args[++i], plan.rcbDomain, plan.rcb)
                       : !parseInt<int>(args[i], 0, 86400 * 365, plan.seconds)) {
                error = "bad argument to watch: " + args[i];
                return {};
            }
        }
        return [plan](MmsConnection& c) { return watch(c, plan); };
    }
    error = "bad command line: " + cmd + (n > 1 ? " " + args[1] : std::string()) + (n > 2 ? " ..." : "");
    return {};
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (const int rc = parseOptions(argc, argv, options))
        return rc < 0 ? 0 : rc;
    std::string error;
    const Action action = parseCommand(options.args, error);
    if (!action)
        return usageError(error);

    MmsConnection connection;
    if (auto r = connection.connect(options.connect); !r)
        return fail(r.error().describe());
    const int rc = action(connection);
    if (connection.connected()) {
        if (auto r = connection.release(); !r && rc == 0)
            std::cerr << "iec-client: release: " << r.error().describe() << '\n';
    }
    return rc;
}
