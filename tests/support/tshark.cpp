#include "tshark.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace test_support {

namespace {

struct CommandResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string quote(const std::string& s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

CommandResult run(const std::string& command)
{
    CommandResult r;
    const std::string errPath = std::filesystem::temp_directory_path() /
                                ("tshark-err-" + std::to_string(::getpid()) + ".txt");
    FILE* pipe = ::popen((command + " 2>" + quote(errPath)).c_str(), "r");
    if (!pipe)
        return r;
    std::array<char, 4096> buf;
    std::size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0)
        r.out.append(buf.data(), n);
    const int status = ::pclose(pipe);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream errFile(errPath);
    r.err.assign(std::istreambuf_iterator<char>(errFile), {});
    std::filesystem::remove(errPath);
    return r;
}

std::vector<std::string> split(const std::string& s, char sep)
{
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    for (;;) {
        const auto end = s.find(sep, start);
        parts.push_back(s.substr(start, end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

constexpr char kAggregator = '|';
constexpr unsigned long kSeverityError = 0x00800000;  // expert info severity "error"

}  // namespace

std::size_t Decode::count(const std::string& field, const std::string& value) const
{
    std::size_t n = 0;
    for (const Frame& f : frames)
        if (auto it = f.fields.find(field); it != f.fields.end()) {
            const std::vector<std::string>& v = it->second;
            n += value.empty() ? !v.empty() : std::find(v.begin(), v.end(), value) != v.end();
        }
    return n;
}

std::size_t Decode::occurrences(const std::string& field, const std::string& value) const
{
    std::size_t n = 0;
    for (const Frame& f : frames)
        if (auto it = f.fields.find(field); it != f.fields.end())
            n += static_cast<std::size_t>(std::count(it->second.begin(), it->second.end(), value));
    return n;
}

std::string Decode::summary() const
{
    std::string s = ran ? "" : "tshark did not run: " + error + "\n";
    for (const Frame& f : frames)
        s += std::to_string(f.number) + "  " + f.protocols + "  " + f.info + "\n";
    for (const std::string& p : problems)
        s += "PROBLEM: " + p + "\n";
    return s;
}

bool tsharkAvailable()
{
    return run("tshark -v").exitCode == 0;
}

namespace {

Decode runTshark(const std::string& pcap, const std::vector<std::string>& fields)
{
    Decode d;
    // Fixed columns first, then the caller's fields, then the info column (which may hold tabs).
    const std::vector<std::string> fixed = {"frame.number", "frame.protocols", "_ws.malformed", "_ws.expert.severity",
                                            "_ws.expert.message"};
    std::string command = "tshark -n -r " + quote(pcap) + " -d tcp.port==" + std::to_string(kPcapServerPort) +
                          ",tpkt -T fields -E occurrence=a -E aggregator='" + kAggregator + "'";
    for (const std::string& f : fixed)
        command += " -e " + f;
    for (const std::string& f : fields)
        command += " -e " + quote(f);
    const CommandResult listing = run(command + " -e _ws.col.Info");
    if (listing.exitCode != 0) {
        d.error = listing.err;
        return d;
    }
    const std::size_t first = fixed.size(), info = first + fields.size();
    std::istringstream out(listing.out);
    for (std::string line; std::getline(out, line);) {
        const std::vector<std::string> columns = split(line, '\t');
        if (columns.size() < info + 1)
            continue;
        Frame f;
        f.number = static_cast<unsigned>(std::stoul(columns[0]));
        f.protocols = columns[1];
        for (std::size_t i = 0; i < fields.size(); ++i)
            if (!columns[first + i].empty())
                f.fields[fields[i]] = split(columns[first + i], kAggregator);
        for (std::size_t i = info; i < columns.size(); ++i)
            f.info += (i > info ? "\t" : "") + columns[i];
        bool error = !columns[2].empty();
        if (!columns[3].empty())
            for (const std::string& severity : split(columns[3], kAggregator))
                error |= std::stoul(severity) >= kSeverityError;
        if (error)
            d.problems.push_back("frame " + columns[0] + ": " + columns[4] + " (" + f.info + ")");
        d.frames.push_back(std::move(f));
    }
    d.ran = true;
    return d;
}

}  // namespace

Decode decodeTranscript(const std::string& pcap, const Transcript& transcript, const std::vector<std::string>& fields)
{
    const Bytes bytes = pcapFile(transcript);
    if (!std::ofstream(pcap, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                     static_cast<std::streamsize>(bytes.size()))) {
        Decode d;
        d.error = "cannot write " + pcap;
        return d;
    }
    return runTshark(pcap, fields);
}

}  // namespace test_support
