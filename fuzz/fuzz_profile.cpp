// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target: the profile (ini) reader and writer on arbitrary bytes.
// Properties: reading never fails; an unchanged profile is written back byte
// for byte; a value written is read back (cut to 254 characters), every other
// key keeps its value, and the file keeps its encoding.
#include "common/profile/Profile.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

std::string Canonical(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\f' || s.front() == '\v'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\f' || s.back() == '\v'))
        s.remove_suffix(1);
    std::string out(s);
    for (char& c : out) c = char((c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using kestova::ProfileFile;
    if (size > ProfileFile::kMaxFileBytes) return 0;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const ProfileFile f = ProfileFile::Parse(bytes);
    if (f.Serialize() != bytes) std::abort();

    // Names the program uses, plus names taken from the input.
    const std::string probeSection(bytes.substr(0, size % 7));
    const std::string probeKey(bytes.substr(size / 2, size % 5 + 1));
    const std::string_view sections[] = {"info", "Language", "English", probeSection};
    const std::string_view keys[] = {"LangIndex", "Lan_1", "Titlename", probeKey};
    for (auto s : sections)
        for (auto k : keys) {
            const auto v = f.Find(s, k);
            if (v && v->size() > 4 * ProfileFile::kMaxValueChars) std::abort();
            (void)f.GetInt(s, k, -1);
        }

    // Write one key with a printable value made from the input.
    std::string value;
    for (char c : bytes.substr(0, size % 300))
        if (c > ' ' && c < 127 && c != '"' && c != '\'') value += c;
    ProfileFile g = f;
    g.SetString("info", "LangIndex", value);
    const ProfileFile h = ProfileFile::Parse(g.Serialize());
    if (h.GetEncoding() != f.GetEncoding()) std::abort();
    if (h.Find("info", "LangIndex") != ProfileFile::CutChars(value, ProfileFile::kMaxValueChars)) std::abort();
    for (auto s : sections)
        for (auto k : keys) {
            if (Canonical(s) == "info" && Canonical(k) == "langindex") continue;
            if (f.Find(s, k) != h.Find(s, k)) std::abort();
        }
    return 0;
}
