/*
 * Phase 2: hostile InstallDir values generated at volume, each followed by
 * one launch event, and what the agent started compared with a model of
 * what it must do.  Each fixed form (a subkey, the default value, each
 * type, the 502/503 limits, a quote that smuggles an argument) has its case
 * in the launch tests; here they come by the hundred, at random, in any
 * order, at random lengths around the limits.
 */
#include "soak.h"

#include <string.h>

#include <algorithm>
#include <map>

using namespace harness;

namespace soak {

namespace {

enum Outcome { kNothing, kWebSite, kProduct, kWebSiteOrNothing, kSeveral };
const char *const kOutcomeNames[] = {"nothing started", "web site", "product", "web site or nothing", "several starts"};

// Where the bytes are stored.  A subkey or the default value in their
// place are fixed cases of the launch tests.
enum Place { kNoKey, kKeyOnly, kValue };

struct Value {
    const char *family;
    Place place;
    DWORD type;
    std::string bytes;
};

const size_t kReadLimit = 511;     // the agent reads at most this many bytes
const size_t kMaxDirLength = 502;  // the longest folder whose program paths fit

/* The agent takes only a string type of at most 511 bytes whose text, up to
 * its first terminator, is 1 to 502 characters and holds no quote; such a
 * folder starts the product when it is the product's, else nothing. */
Outcome Model(const Value &v, const std::string &productDir, bool singleByte)
{
    if (v.place != kValue || (v.type != REG_SZ && v.type != REG_EXPAND_SZ))
        return kWebSite;
    // Under a multi-byte code page a text is converted on its way in and
    // out, and its length is no longer its number of bytes.
    if (!singleByte && std::any_of(v.bytes.begin(), v.bytes.end(), [](char c) { return (unsigned char)c >= 0x80; }))
        return kWebSiteOrNothing;
    const std::string text(v.bytes.c_str(), strnlen(v.bytes.data(), v.bytes.size()));
    if (v.bytes.size() > kReadLimit || text.empty() || text.size() > kMaxDirLength)
        return kWebSite;
    return text.find('"') == std::string::npos && Lower(text) == Lower(productDir) ? kProduct : kNothing;
}

// Lengths cluster around the limits (502 characters, 511 bytes read, 512 of
// buffer); some are far past them.
size_t DrawLength(Rng &rng)
{
    const uint32_t r = rng.Below(100);
    if (r < 35)
        return (size_t)rng.Between(0, 64);
    if (r < 55)
        return (size_t)rng.Between(65, 495);
    return (size_t)(r < 85 ? rng.Between(496, 520) : rng.Between(521, 66000));
}

std::string RandomBytes(Rng &rng, size_t size)
{
    std::string bytes(size, '\0');
    for (char &b : bytes)
        b = (char)(rng.Percent(3) ? 0 : rng.Between(1, 255));
    // Only dots, blanks and slashes could name a real folder relative to the
    // agent's current one, the product's after a launch.
    const size_t length = strnlen(bytes.data(), bytes.size());
    if (length > 0 && bytes.find_first_not_of("./\\ ") >= length)
        bytes[0] = 'x';
    return bytes;
}

Value Generate(Rng &rng, const std::string &productDir)
{
    const DWORD types[] = {REG_SZ, REG_SZ, REG_SZ, REG_SZ, REG_EXPAND_SZ, REG_EXPAND_SZ,
                           REG_BINARY, REG_MULTI_SZ, REG_DWORD, REG_QWORD, REG_NONE};
    Value v{"", kValue, rng.Percent(5) ? rng.Next() : types[rng.Below(sizeof types / sizeof types[0])], ""};
    const uint32_t family = rng.Below(100);
    if (family < 8) {
        v.family = family < 4 ? "no key" : "key without the value";
        v.place = family < 4 ? kNoKey : kKeyOnly;
        return v;
    }
    if (family < 40) {
        v.family = "random bytes";
        v.bytes = RandomBytes(rng, DrawLength(rng));
        return v;
    }
    if (family < 60) {
        v.family = "the product's folder";  // in any letter case
        v.bytes = rng.Percent(20) ? Lower(productDir) : productDir;
    } else if (family < 80) {
        v.family = "a folder near the limits";
        v.bytes = "C:\\";
        for (size_t length = (size_t)rng.Between(kMaxDirLength - 6, kReadLimit + 3); v.bytes.size() < length;)
            v.bytes += rng.Percent(10) ? '\\' : (char)rng.Between('a', 'z');
    } else {
        // A quote would end the quoted path early or pass an argument.
        v.family = "a quote in the folder";
        const std::string program = std::string("\\") + kPrimaryProgram;
        const std::string quotes[] = {program + "\" \"", program + "\" ", program + "\"", "\"", "\\a\" b"};
        v.bytes = productDir + quotes[rng.Below(5)];
        for (uint32_t n = rng.Below(8); n > 0; --n)
            v.bytes += (char)rng.Between(' ', '~');
    }
    if (rng.Percent(75))
        v.bytes += '\0';
    if (rng.Percent(20)) {
        // Without a terminator before it, junk starts with a letter, so that
        // the text cannot become the product's folder and a slash.
        std::string junk = RandomBytes(rng, DrawLength(rng));
        if (!junk.empty() && v.bytes.back() != '\0')
            junk[0] = 'x';
        v.bytes += junk;
    }
    return v;
}

bool Store(const Value &v)
{
    RemoveProductKey();
    if (v.place == kValue)
        return WriteInstallDir(v.bytes.data(), (DWORD)v.bytes.size(), v.type);
    return v.place == kNoKey || CreateProductKeyOnly();
}

}  // namespace

bool PhaseHostileValues(Soak &s)
{
    Rng rng = s.options.PhaseRng(2);
    CPINFO cp;
    const bool singleByte = GetCPInfo(CP_ACP, &cp) && cp.MaxCharSize == 1;
    std::map<std::string, std::map<std::string, long>> tally;  // family: outcome: values
    for (long i = 0; i < s.options.values; ++i) {
        const Value v = Generate(rng, s.productDir);
        char where[160];
        snprintf(where, sizeof where, "phase 2, value #%ld (%s, %zu bytes, type %lu)", i + 1, v.family, v.bytes.size(),
                 v.type);
        if (!Store(v)) {
            Fail("%s: could not store it", where);
            continue;
        }
        const Outcome expected = Model(v, s.productDir, singleByte);
        const Counts before = s.CountRecords();
        const Soak::Programs programs = s.ProgramsStarted();
        if (!s.SendLaunch(where) || !s.Alive(where))
            return false;
        if (expected == kProduct || expected == kWebSite)
            s.WaitForRecords([&](const Counts &n) { return n.product + n.web > before.product + before.web; });
        const Counts after = s.CountRecords();
        const long web = after.web - before.web, product = after.product - before.product;
        const long other = after.other - before.other;
        Outcome seen = kSeveral;
        if (web + product + other == 0)
            seen = kNothing;
        else if (web + product + other == 1 && other == 0)
            seen = web == 1 ? kWebSite : kProduct;
        if (seen != expected && !(expected == kWebSiteOrNothing && (seen == kWebSite || seen == kNothing))) {
            std::string shown = v.bytes.substr(0, 80);
            for (char &c : shown)
                c = c < ' ' || c > '~' ? '.' : c;
            Fail("%s: expected %s, got %ld web site, %ld product, %ld other starts (%s); the value began \"%s\"",
                 where, kOutcomeNames[expected], web, product, other, s.WhyNoRecord(programs).c_str(), shown.c_str());
        }
        ++tally[v.family][kOutcomeNames[seen]];
    }
    for (const auto &family : tally) {
        std::string outcomes;
        for (const auto &o : family.second)
            outcomes += (outcomes.empty() ? "" : ", ") + o.first + " " + std::to_string(o.second);
        Say("soak:   %-26s %s", family.first.c_str(), outcomes.c_str());
    }
    Say("soak: %ld hostile InstallDir values, one launch event each", s.options.values);
    return true;
}

}  // namespace soak
