// Runs every transcript in tests/data/transcripts (the format is in its
// README) against a ServerConnection in memory, fed each request whole, one
// octet at a time and cut in two at every offset; against the threaded server
// over loopback TCP where a transcript asks; and hands the session to tshark.
#include "iec61850/platform/socket.hpp"
#include "iec61850/server/mms_server.hpp"
#include "iec61850/server/server_connection.hpp"
#include "journal_model.hpp"
#include "octets.hpp"
#include "sample_model.hpp"
#include "temp_dir.hpp"
#include "tshark.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>

using namespace iec61850;
using namespace test_support;
namespace fs = std::filesystem;

namespace {

const fs::path kDir = TEST_TRANSCRIPT_DIR;

std::vector<std::string> words(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

std::string rest(const std::string& line, std::size_t skipWords)
{
    std::size_t at = 0;
    for (std::size_t i = 0; i < skipWords; ++i) {
        at = line.find_first_not_of(' ', at);
        at = line.find(' ', at);
    }
    return at == std::string::npos ? "" : line.substr(line.find_first_not_of(' ', at));
}

std::string text(const std::string& quoted)
{
    const Bytes b = octets(quoted);
    return {b.begin(), b.end()};
}

struct Line {
    int number;
    std::string text;
};

struct Session {
    std::string name;
    std::vector<Line> setup, steps;
};

bool isSetup(const std::string& word)
{
    static const std::set<std::string> kSetup = {"model", "domain", "paths", "journal", "config", "store",
                                                 "file",  "deny",   "tcp",   "tshark",  "split"};
    return kSetup.count(word) > 0;
}

std::vector<Session> load(const fs::path& path)
{
    std::vector<Session> s;
    std::ifstream in(path);
    std::vector<Line> header;
    int n = 0;
    for (std::string line; std::getline(in, line);) {
        const auto w = words(line);
        ++n;
        if (w.empty() || w[0][0] == '#')
            continue;
        if (w[0] == "session") {
            s.push_back({rest(line, 1), header, {}});
        } else if (s.empty() && isSetup(w[0])) {
            header.push_back({n, line});
        } else {
            if (s.empty())
                s.push_back({path.stem().string(), header, {}});
            (isSetup(w[0]) ? s.back().setup : s.back().steps).push_back({n, line});
        }
    }
    return s;
}

// Paths of `$`-separated names, made into one variable per first component.
void addPaths(server::InMemoryModel& model, const std::string& domain, const fs::path& file)
{
    struct Node {
        std::vector<std::pair<std::string, Node>> children;
        mms::TypeDescription type() const
        {
            if (children.empty())
                return mms::TypeDescription::boolean();
            std::vector<mms::TypeDescription> c;
            for (const auto& [name, child] : children)
                c.push_back(child.type().named(name));
            return mms::TypeDescription::structure(std::move(c));
        }
    } root;
    std::ifstream in(file);
    for (std::string path; std::getline(in, path);) {
        Node* node = &root;
        for (std::size_t at = 0; at <= path.size() && !path.empty();) {
            const std::size_t end = std::min(path.find('$', at), path.size());
            const std::string name = path.substr(at, end - at);
            auto it = std::find_if(node->children.begin(), node->children.end(), [&](auto& c) { return c.first == name; });
            node = it != node->children.end() ? &it->second : &node->children.emplace_back(name, Node{}).second;
            at = end + 1;
        }
    }
    model.addDomain(domain);
    for (const auto& [name, child] : root.children)
        model.addVariable(domain, name, child.type());
}

// The VALUE of `tshark FIELD VALUE N`: * for any, "text" for one with spaces.
std::string tsharkValue(const std::string& valueAndCount)
{
    const std::string value = valueAndCount.substr(0, valueAndCount.find_last_of(' '));
    return value == "*" ? "" : value[0] == '"' ? value.substr(1, value.size() - 2) : value;
}

// Every value kind we carry, the last two nested in a structure and an array.
std::vector<mms::Value> everyValueKind()
{
    const std::uint8_t bits[] = {0xa5, 0x80}, octets[] = {0x00, 0x01, 0xfe, 0xff}, binaryTime4[] = {1, 2, 3, 4};
    std::vector<mms::Value> v = {
        mms::Value::boolean(true),
        mms::Value::bitString(bits, 13),
        mms::Value::integer(-129),
        mms::Value::unsignedInteger(4000000000u),
        mms::Value::float32(12.5f),
        mms::Value::float64(-1.0e300),
        mms::Value::octetString(octets),
        mms::Value::visibleString("CLS1/report01"),
        mms::Value::mmsString("Z\xc3\xa4hler"),
        mms::Value::generalizedTime("20270101000000.000Z"),
        mms::Value::binaryTime(binaryTime4),
        mms::Value::binaryTimeMs(2222164800789ull),  // 2040-06-01T12:00:00.789Z, past 2038
        mms::Value::utcTimeMs(2222164800789ull, 0x0a),
    };
    v.push_back(mms::Value::structure({v[0], v[12]}));
    v.push_back(mms::Value::array({mms::Value::integer(1), mms::Value::integer(2), mms::Value::integer(3)}));
    return v;
}

// What a session runs against: a model, a configuration and a file store.
struct World {
    TempDir dir;
    JournalModel model;
    server::ServerConfig config;
    bool store = false, tcp = false, split = true, serverOnly = false;
    std::vector<std::pair<server::FileService, std::string>> denied;  // name empty: every name
    std::vector<std::vector<std::string>> tsharkCounts;
    server::FileStore files{dir.path.string()};

    server::FileAccessHandler handler()
    {
        return [this](const server::ClientContext&, server::FileService service, std::string_view name,
                      std::string_view) -> std::optional<mms::ServiceError> {
            for (const auto& [s, n] : denied)
                if (s == service && (n.empty() || n == name))
                    return server::fileError(mms::error_code::file::FileAccessDenied);
            return std::nullopt;
        };
    }

    void apply(const std::string& line)
    {
        const auto w = words(line);
        static const std::map<std::string, server::FileService> kServices = {
            {"directory", server::FileService::ReadDirectory}, {"open", server::FileService::Open},
            {"obtain", server::FileService::Obtain},           {"delete", server::FileService::Delete},
            {"rename", server::FileService::Rename}};
        const auto number = [&](std::size_t i) { return std::stoll(w.at(i)); };
        if (w[0] == "model" && w.at(1) == "sample")
            static_cast<server::InMemoryModel&>(model) = std::move(*makeSampleModel());
        else if (w[0] == "domain")
            model.addDomain(w.at(1));
        else if (w[0] == "paths")
            addPaths(model, w.at(2), kDir / w.at(1));
        else if (w[0] == "journal" && w.at(2) == "kinds")
            model.fill(static_cast<std::size_t>(number(1)), 441763200000ull, [](std::size_t i) {
                const auto kinds = everyValueKind();
                return kinds[i % kinds.size()];
            });
        else if (w[0] == "journal")
            model.fill(static_cast<std::size_t>(number(1)), 441763200000ull, [n = number(2)](std::size_t) {
                return mms::Value::visibleString(std::string(static_cast<std::size_t>(n), 'v'));
            });
        else if (w[0] == "config" && w.at(1) == "max-pdu")
            config.maxPduSize = static_cast<std::int32_t>(number(2));
        else if (w[0] == "config" && w.at(1) == "outstanding")
            config.maxServOutstanding = static_cast<std::int16_t>(number(2));
        else if (w[0] == "config" && w.at(1) == "nesting")
            config.maxNestingLevel = static_cast<std::int8_t>(number(2));
        else if (w[0] == "config" && w.at(1) == "tpdu")
            config.maxTpduSize = static_cast<std::size_t>(number(2));
        else if (w[0] == "config" && w.at(1) == "identity")
            config.identity = {w.at(2), w.at(3), w.at(4)};
        else if (w[0] == "store")
            store = true;
        else if (w[0] == "file")
            writeFile(w.at(1), rest(line, 2));
        else if (w[0] == "deny")
            denied.emplace_back(kServices.at(w.at(1)), w.size() > 2 ? w[2] : "");
        else if (w[0] == "tcp")
            tcp = true;
        else if (w[0] == "split")
            split = w.at(1) != "off";
        else if (w[0] == "tshark" && w.at(1) == "server-only")
            serverOnly = true;
        else if (w[0] == "tshark")
            tsharkCounts.push_back({w.at(1), tsharkValue(rest(line, 2)), w.back()});
        else
            throw std::invalid_argument("unknown setting " + w[0]);
    }

    // CONTENT: "text" or a size (octets 'a'..'z' over and over); every file dated 2040-06-01T12:00:00Z.
    void writeFile(const std::string& name, const std::string& content)
    {
        std::string data;
        if (content[0] == '"')
            data = text(content);
        else
            for (long i = 0; i < std::stol(content); ++i)
                data += static_cast<char>('a' + i % 26);
        dir.write(name, data);
        const timespec in2040[2] = {{2222164800, 0}, {2222164800, 0}};
        ::utimensat(AT_FDCWD, (dir.path / name).c_str(), in2040, 0);
        store = true;
    }
};

// The server side a session talks to.
class Target {
public:
    virtual ~Target() = default;
    virtual void send(ByteView bytes) = 0;
    // Appends what the server wrote; over TCP waits until `answers` are complete or the peer closed.
    virtual void collect(Bytes& stream, std::size_t answers) = 0;
    virtual bool closed() = 0;
    virtual std::string check(const std::vector<std::string>&) { return {}; }
};

class Memory : public Target {
public:
    explicit Memory(World& w) : connection_(w.model, w.config, server::ClientContext{7, "a", "b", nullptr})
    {
        if (w.store) {
            w.files.setAccessHandler(w.handler());
            connection_.setFileStore(&w.files);
        }
    }
    void send(ByteView bytes) override { connection_.receive(bytes); }
    void collect(Bytes& stream, std::size_t) override
    {
        const Bytes out = connection_.output().take();
        stream.insert(stream.end(), out.begin(), out.end());
    }
    bool closed() override { return connection_.closed(); }
    std::string check(const std::vector<std::string>& w) override
    {
        static const char* const kReasons[] = {"none", "released", "refused", "peer-aborted", "protocol-error", "local-abort"};
        if (w[0] == "closed" && w.size() > 1 && w[1] != kReasons[static_cast<int>(connection_.closeReason())])
            return std::string("closed: ") + kReasons[static_cast<int>(connection_.closeReason())];
        if (w[0] == "closed" && (connection_.receive(capture("01-associate-identify").clientTpkts().at(2)),
                                 !connection_.output().empty()))
            return "answers once closed";
        if (w[0] == "associated" && !connection_.associated())
            return "not associated";
        if (w[0] == "open-files" && connection_.openFileCount() != std::stoul(w.at(1)))
            return "open files: " + std::to_string(connection_.openFileCount());
        return {};
    }

private:
    server::ServerConnection connection_;
};

class Tcp : public Target {
public:
    explicit Tcp(World& w) : server_(w.model, w.config)
    {
        if (w.store) {
            server_.setFileStore(w.dir.path.string());
            server_.setFileAccessHandler(w.handler());
        }
        EXPECT_EQ(server_.listen("127.0.0.1", 0), platform::NetStatus::Ok);
        EXPECT_TRUE(server_.start());
        EXPECT_EQ(platform::connectTcp("127.0.0.1", server_.port(), 5000, socket_), platform::NetStatus::Ok);
    }
    ~Tcp() override { server_.stop(); }
    void send(ByteView bytes) override
    {
        while (!bytes.empty() && !eof_) {
            const platform::IoResult r = socket_.send(bytes);
            if (r.ok())
                bytes = bytes.subspan(r.count);
            else if (r.status != platform::NetStatus::WouldBlock || !wait(false))
                return;
        }
    }
    void collect(Bytes& stream, std::size_t answers) override
    {
        for (std::vector<Answer> got;;) {
            Bytes copy = stream;
            got.clear();
            splitAnswers(copy, got);
            if (got.size() >= answers || eof_ || !read(stream))
                return;
        }
    }
    bool closed() override
    {
        Bytes ignored;
        while (!eof_ && read(ignored)) {
        }
        return eof_;
    }

private:
    bool wait(bool readable)
    {
        platform::PollEntry e{socket_.fd(), readable, !readable};
        return platform::poll({&e, 1}, 5000) > 0;
    }
    bool read(Bytes& stream)
    {
        std::uint8_t buf[8192];
        if (!wait(true))
            return false;
        const platform::IoResult r = socket_.recv(buf);
        if (r.ok())
            stream.insert(stream.end(), buf, buf + r.count);
        eof_ = !r.ok() && r.status != platform::NetStatus::WouldBlock;
        return !eof_;
    }
    server::MmsServer server_;
    platform::Socket socket_;
    bool eof_ = false;
};

// Capture 04's CR and CP (an initiate proposing 65000), proposing `pduSize` instead.
std::vector<Bytes> associationRequests(std::uint32_t pduSize)
{
    const auto& c = capture("04-read-float-and-node").clientTpkts();
    Bytes cp = c.at(1);
    const Bytes proposed = octets("800300fde8");
    auto at = std::search(cp.begin(), cp.end(), proposed.begin(), proposed.end());
    for (int i = 0; i < 3 && at != cp.end(); ++i)
        at[2 + i] = static_cast<std::uint8_t>(pduSize >> (16 - 8 * i));
    return {c.at(0), cp};
}

Bytes request(const std::vector<std::string>& w, const std::string& line)
{
    if (w.at(1) == "capture")
        return capture(w.at(2)).clientTpkts().at(std::stoul(w.at(3)));
    return w[1] == "mms" ? clientTpkt(octets(rest(line, 2))) : octets(rest(line, 1));
}

enum class Feed { Whole, Octets, Cut };

struct Pass {
    Feed feed = Feed::Whole;
    std::size_t cut = 0;
    Transcript transcript;
    std::size_t longestRequest = 0;
};

std::string describe(const Answer& a)
{
    return a.mms.empty() ? "< " + toHex(a.raw) : "< mms " + formatOctets(a.mms);
}

// Runs one session; failures name the transcript line.
void play(const fs::path& file, const Session& s, World& world, Target& target, Pass& run)
{
    Bytes stream;
    std::vector<Answer> answers;
    std::size_t next = 0;
    const auto pull = [&](std::size_t wanted) {
        target.collect(stream, wanted > answers.size() ? wanted - answers.size() : 0);
        splitAnswers(stream, answers);
    };
    const auto flush = [&](int line) {
        pull(0);
        for (; next < answers.size(); ++next) {
            run.transcript.toClient(answers[next].raw);
            ADD_FAILURE_AT(file.c_str(), line) << "unexpected answer " << describe(answers[next]);
        }
    };
    const auto send = [&](const Bytes& bytes, int line) {
        flush(line);
        run.transcript.toServer(bytes);
        run.longestRequest = std::max(run.longestRequest, bytes.size());
        if (run.feed == Feed::Octets)
            for (std::uint8_t b : bytes)
                target.send(ByteView(&b, 1));
        else if (run.feed == Feed::Cut && run.cut < bytes.size())
            target.send(ByteView(bytes).first(run.cut)), target.send(ByteView(bytes).subspan(run.cut));
        else
            target.send(bytes);
    };
    for (const Line& step : s.steps) {
        const auto w = words(step.text);
        SCOPED_TRACE(testing::Message() << file.filename().string() << ":" << step.number);
        if (w[0] == ">") {
            send(request(w, step.text), step.number);
        } else if (w[0] == "associate") {
            for (const Bytes& b : associationRequests(w.size() > 1 ? static_cast<std::uint32_t>(std::stoul(w[1])) : 65000)) {
                send(b, step.number);
                pull(next + 1);
                if (next < answers.size())
                    run.transcript.toClient(answers[next++].raw);
            }
        } else if (w[0] == "<") {
            pull(next + 1);
            if (next == answers.size()) {
                ADD_FAILURE_AT(file.c_str(), step.number) << "no answer";
                continue;
            }
            const Answer& a = answers[next++];
            run.transcript.toClient(a.raw);
            const bool mms = w.at(1) == "mms";
            const bool ok = w[1] == "capture" ? a.raw == capture(w.at(2)).serverTpkts().at(std::stoul(w.at(3)))
                                              : parseOctets(rest(step.text, mms ? 2 : 1)).matches(mms ? a.mms : a.raw);
            if (!ok)
                ADD_FAILURE_AT(file.c_str(), step.number) << "answered " << describe(a);
        } else if (w[0] == "closed") {
            flush(step.number);
            if (!target.closed())
                ADD_FAILURE_AT(file.c_str(), step.number) << "still open";
            if (const std::string e = target.check(w); !e.empty())
                ADD_FAILURE_AT(file.c_str(), step.number) << e;
        } else if (w[0] == "has" || w[0] == "lacks") {
            if (world.dir.has(w.at(1)) != (w[0] == "has"))
                ADD_FAILURE_AT(file.c_str(), step.number) << step.text;
        } else if (w[0] == "content") {
            if (world.dir.read(w.at(1)) != text(rest(step.text, 2)))
                ADD_FAILURE_AT(file.c_str(), step.number) << "holds " << world.dir.read(w.at(1));
        } else if (const std::string e = target.check(w); !e.empty()) {
            ADD_FAILURE_AT(file.c_str(), step.number) << e;
        }
    }
    flush(s.steps.empty() ? 0 : s.steps.back().number);
}

void checkDecode(const std::string& pcap, const Transcript& t, const std::vector<std::vector<std::string>>& counts)
{
    std::vector<std::string> fields = {"tcp.analysis.flags"};
    for (const auto& c : counts)
        fields.push_back(c.at(0));
    const Decode d = decodeTranscript(pcap, t, fields);
    ASSERT_TRUE(d.ran) << d.error;
    EXPECT_TRUE(d.problems.empty()) << pcap << "\n" << d.summary();
    EXPECT_EQ(d.count("tcp.analysis.flags"), 0u) << d.summary();
    for (const auto& c : counts)
        EXPECT_EQ(c[1].empty() ? d.count(c[0]) : d.occurrences(c[0], c[1]), std::stoul(c.at(2))) << pcap << ": " << c[0] << " " << c[1] << "\n"
                                                                         << d.summary();
}

std::vector<fs::path> transcripts()
{
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(kDir))
        if (e.path().extension() == ".txt" && e.path().filename().string().find("model-") != 0)
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
}

class TranscriptFile : public ::testing::TestWithParam<fs::path> {};

TEST_P(TranscriptFile, AnswersAsWritten)
{
    const fs::path& file = GetParam();
    const std::vector<Session> sessions = load(file);
    Transcript all;
    std::vector<std::vector<std::string>> counts;
    for (const Session& s : sessions) {
        SCOPED_TRACE(s.name);
        const auto world = [&] {
            auto w = std::make_unique<World>();
            for (const Line& l : s.setup)
                w->apply(l.text);
            return w;
        };
        Pass whole;
        auto w = world();
        {
            Memory target(*w);
            play(file, s, *w, target, whole);
        }
        for (const Chunk& c : whole.transcript.chunks())
            if (c.direction == Direction::ToClient || !w->serverOnly)
                all.add(c.direction, c.data);
        if (&s == &sessions.front())
            counts = w->tsharkCounts;
        if (!w->split)
            continue;
        for (std::size_t cut = 0; cut < whole.longestRequest && !HasFailure(); ++cut) {
            Pass r;
            r.feed = cut == 0 ? Feed::Octets : Feed::Cut;
            r.cut = cut;
            auto fresh = world();
            Memory target(*fresh);
            play(file, s, *fresh, target, r);
            if (HasFailure())
                ADD_FAILURE() << (cut == 0 ? "fed one octet at a time" : "requests cut at " + std::to_string(cut));
        }
        if (w->tcp) {
            Pass r;
            auto fresh = world();
            Tcp target(*fresh);
            play(file, s, *fresh, target, r);
            if (HasFailure())
                ADD_FAILURE() << "over TCP";
        }
    }
    if (!sessions.empty() && tsharkAvailable())
        checkDecode("transcript-" + file.stem().string() + ".pcap", all, counts);
}

INSTANTIATE_TEST_SUITE_P(Data, TranscriptFile, ::testing::ValuesIn(transcripts()), [](const auto& info) {
    std::string name = info.param.stem().string();
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return name;
});

}  // namespace
