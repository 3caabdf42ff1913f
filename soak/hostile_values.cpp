/*
 * Phase 2: hostile InstallDir values generated at volume, each followed by
 * one launch event, and what the agent started compared with a model of
 * what it must do.  The fixed forms (a subkey, the default value, each
 * type once, the 502/503 limits, the quote that smuggles an argument) are
 * in the launch tests; here they come at random, by the hundred, in any
 * order and at random lengths around the limits.
 */
#include "soak.h"

#include <string.h>

#include <algorithm>
#include <map>

using namespace harness;

namespace soak {

namespace {

enum class Outcome { Nothing, WebSite, Product, WebSiteOrNothing };

const char *OutcomeName(Outcome o)
{
    switch (o) {
    case Outcome::Nothing:
        return "nothing started";
    case Outcome::WebSite:
        return "web site";
    case Outcome::Product:
        return "product";
    case Outcome::WebSiteOrNothing:
        return "web site or nothing";
    }
    return "?";
}

struct Value {
    const char *family;
    bool present;  // false: the key, or only the value, is absent
    bool keyOnly;
    DWORD type;
    std::string bytes;
};

const DWORD kPathBufferSize = 512;  // the agent reads at most 511 bytes
const size_t kMaxDirLength = 502;   // the longest directory whose program paths fit

/* What the agent must do: it takes only a string type of at most 511
 * bytes, whose text up to its first terminator is 1 to 502 characters
 * long and holds no quote; such a directory starts the product only when
 * it is the product's folder. */
Outcome Model(const Value &v, const std::string &productDir, bool singleByte)
{
    if (!v.present || (v.type != REG_SZ && v.type != REG_EXPAND_SZ))
        return Outcome::WebSite;
    // Under a multi-byte code page a text is converted on its way in and
    // out, and its length is no longer its number of bytes.
    if (!singleByte && std::any_of(v.bytes.begin(), v.bytes.end(), [](char c) { return (unsigned char)c >= 0x80; }))
        return Outcome::WebSiteOrNothing;
    const std::string text(v.bytes.c_str(), strnlen(v.bytes.data(), v.bytes.size()));
    if (v.bytes.size() > kPathBufferSize - 1 || text.empty() || text.size() > kMaxDirLength)
        return Outcome::WebSite;
    if (text.find('"') == std::string::npos && Lower(text) == Lower(productDir))
        return Outcome::Product;
    return Outcome::Nothing;
}

/* Lengths cluster around the limits: 502 characters of directory, 511
 * bytes read, 512 bytes of buffer; some are far past them. */
size_t DrawLength(Rng &rng)
{
    const uint32_t r = rng.Below(100);
    if (r < 35)
        return (size_t)rng.Between(0, 64);
    if (r < 55)
        return (size_t)rng.Between(65, 495);
    if (r < 85)
        return (size_t)rng.Between(496, 520);
    return (size_t)rng.Between(521, 66000);
}

std::string RandomBytes(Rng &rng, size_t size)
{
    std::string bytes(size, '\0');
    for (char &b : bytes)
        b = (char)(rng.Percent(3) ? 0 : rng.Between(1, 255));
    // Only dots, blanks and slashes could name a real folder relative to
    // the agent's current one (the product's, after a launch).
    const size_t length = strnlen(bytes.data(), bytes.size());
    if (length > 0 && bytes.find_first_not_of("./\\ ") >= length)
        bytes[0] = '\x01';
    return bytes;
}

DWORD DrawType(Rng &rng)
{
    const DWORD types[] = {REG_SZ, REG_SZ, REG_SZ, REG_SZ, REG_EXPAND_SZ, REG_EXPAND_SZ,
                           REG_BINARY, REG_MULTI_SZ, REG_DWORD, REG_QWORD, REG_NONE};
    return rng.Percent(5) ? rng.Next() : types[rng.Below(sizeof types / sizeof types[0])];
}

Value Generate(Rng &rng, const std::string &productDir)
{
    Value v{"", true, false, DrawType(rng), ""};
    const uint32_t family = rng.Below(100);
    if (family < 4) {
        v.family = "no key";
        v.present = false;
        return v;
    }
    if (family < 8) {
        v.family = "key without the value";
        v.present = false;
        v.keyOnly = true;
        return v;
    }
    if (family < 40) {
        v.family = "random bytes";
        v.bytes = RandomBytes(rng, DrawLength(rng));
        return v;
    }
    if (family < 60) {
        // The product's folder, in any letter case, and anything after its
        // terminator.
        v.family = "the product's folder";
        v.bytes = productDir;
        if (rng.Percent(20))
            v.bytes = Lower(v.bytes);
    } else if (family < 80) {
        // A drive path whose length is around the limits.
        v.family = "a folder near the limits";
        v.bytes = "C:\\";
        const size_t length = std::max<size_t>(4, (size_t)rng.Between(kMaxDirLength - 6, kPathBufferSize + 2));
        while (v.bytes.size() < length)
            v.bytes += rng.Percent(10) ? '\\' : (char)rng.Between('a', 'z');
    } else {
        // A quote that would end the quoted path early or pass an argument
        // to the product's program.
        v.family = "a quote in the folder";
        const char *quotes[] = {"\\Vorq.exe\" \"", "\\Vorq.exe\" ", "\\Vorq.exe\"", "\"", "\\a\" b"};
        v.bytes = productDir + quotes[rng.Below(5)];
        for (uint32_t n = rng.Below(8); n > 0; --n)
            v.bytes += (char)rng.Between(' ', '~');
    }
    if (rng.Percent(75))
        v.bytes += '\0';
    if (rng.Percent(20)) {
        // Junk after the text; without a terminator between, a letter first,
        // so that the text cannot become the product's folder plus a slash.
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
    if (!v.present)
        return !v.keyOnly || CreateProductKeyOnly();
    return WriteInstallDir(v.bytes.data(), (DWORD)v.bytes.size(), v.type);
}

}  // namespace

bool PhaseHostileValues(Soak &s)
{
    const char *phase = "phase 2 (hostile InstallDir values)";
    Rng rng = PhaseRng(s.options.seed, 2);
    CPINFO cp;
    const bool singleByte = GetCPInfo(CP_ACP, &cp) && cp.MaxCharSize == 1;
    std::map<std::string, std::map<std::string, long>> seenBy;  // family, outcome: values
    for (long i = 0; i < s.options.values; ++i) {
        const Value v = Generate(rng, s.productDir);
        char where[200];
        snprintf(where, sizeof where, "%s, value #%ld (%s, %zu bytes, type %lu)", phase, i + 1, v.family,
                 v.bytes.size(), v.type);
        if (!Store(v)) {
            Fail("%s: could not store it", where);
            continue;
        }
        const Outcome expected = Model(v, s.productDir, singleByte);
        const Counts before = s.CountRecords();
        if (!s.SendLaunch(where) || !s.Alive(where))
            return false;
        if (expected == Outcome::Product)
            s.WaitForRecords([&](const Counts &n) { return n.product > before.product; });
        else if (expected == Outcome::WebSite)
            s.WaitForRecords([&](const Counts &n) { return n.web > before.web; });
        const Counts after = s.CountRecords();
        const long web = after.web - before.web, product = after.product - before.product;
        const long other = after.other - before.other;
        const Outcome seen = web == 1 && product + other == 0   ? Outcome::WebSite
                             : product == 1 && web + other == 0 ? Outcome::Product
                                                                : Outcome::Nothing;
        const bool several = web + product + other > 1 || other != 0;
        const bool ok = !several && (seen == expected || (expected == Outcome::WebSiteOrNothing &&
                                                          (seen == Outcome::WebSite || seen == Outcome::Nothing)));
        if (!ok) {
            std::string shown = v.bytes.substr(0, 80);
            for (char &c : shown)
                c = c < ' ' || c > '~' ? '.' : c;
            Fail("%s: expected %s, got %ld web site, %ld product, %ld other starts; the value began \"%s\"", where,
                 OutcomeName(expected), web, product, other, shown.c_str());
        }
        ++seenBy[v.family][OutcomeName(seen)];
    }
    for (const auto &family : seenBy) {
        std::string outcomes;
        for (const auto &o : family.second)
            outcomes += (outcomes.empty() ? "" : ", ") + o.first + " " + std::to_string(o.second);
        Say("soak:   %-26s %s", family.first.c_str(), outcomes.c_str());
    }
    Say("soak: %ld hostile values, one launch event each", s.options.values);
    return true;
}

}  // namespace soak
