// Times and uploads written as text, for the store's tests and their script
// (tests/data/schedule-manager/store.txt describes the notation).
#pragma once

#include "schedule_store.hpp"

#include <sstream>
#include <string>

namespace schedmgr::test {

constexpr Millis T0 = 1'800'000'000'000;
constexpr Millis hour = 3'600'000;

// "T+1h+15m-1", "0", "latest+1", "max".
inline Millis timeAt(const std::string& text)
{
    const auto base = text.find_first_of("+-");
    const std::string name = text.substr(0, base);
    Millis t = name == "T" ? T0 : name == "latest" ? latestStartTime : name == "max" ? UINT64_MAX : std::stoull(name);
    for (std::size_t at = base, used = 0; at < text.size(); at += used + 1) {
        const long long n = std::stoll(text.substr(at + 1), &used);
        const char unit = at + 1 + used < text.size() ? text[at + 1 + used] : ' ';
        const Millis scale = unit == 'h' ? hour : unit == 'm' ? 60'000 : unit == 's' ? 1000 : 1;
        t = text[at] == '+' ? t + static_cast<Millis>(n) * scale : t - static_cast<Millis>(n) * scale;
        used += scale == 1 ? 0 : 1;
    }
    return t;
}

// "A,B,C*N": the list, N times over.
template <typename T, typename Parse>
std::vector<T> listOf(const std::string& text, Parse parse)
{
    const auto star = text.rfind('*');
    std::vector<T> one, all;
    std::istringstream items(text.substr(0, star));
    for (std::string item; std::getline(items, item, ',');)
        one.push_back(parse(item));
    for (int n = star == std::string::npos ? 1 : std::stoi(text.substr(star + 1)); n > 0; --n)
        all.insert(all.end(), one.begin(), one.end());
    return all;
}

// "prio=10 values=1,2 starts=T,0 intv=900 count=2 reuse event|noevent system uploaded=T-1"
inline Upload uploadOf(std::istream& words)
{
    Upload u;
    u.intervalSeconds = 900;
    u.uploadTime = T0;
    bool counted = false;
    for (std::string word; words >> word;) {
        const auto eq = word.find('=');
        const std::string key = word.substr(0, eq), value = eq == std::string::npos ? "" : word.substr(eq + 1);
        if (key == "prio") u.priority = std::stoi(value);
        else if (key == "values") u.values = listOf<double>(value, [](const std::string& v) { return std::stod(v); });
        else if (key == "starts") u.startTimes = listOf<Millis>(value, timeAt);
        else if (key == "intv") u.intervalSeconds = std::stoi(value);
        else if (key == "count") u.entryCount = std::stoi(value), counted = true;
        else if (key == "uploaded") u.uploadTime = timeAt(value);
        else if (key == "reuse") u.reuse = true;
        else if (key == "system") u.systemSchedule = true;
        else if (key == "event" || key == "noevent") u.trigger = key == "event" ? Trigger::Event : Trigger::None;
        else throw std::invalid_argument("unknown upload word " + word);
    }
    if (!counted)
        u.entryCount = static_cast<std::int32_t>(u.values.size());
    return u;
}

inline Upload uploadOf(const std::string& text)
{
    std::istringstream words(text);
    return uploadOf(words);
}

}  // namespace schedmgr::test
