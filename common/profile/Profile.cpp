// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/profile/Profile.h"

#include <fstream>
#include <iterator>
#include <random>
#include <system_error>

namespace kestova {

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v';
}

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

char LowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

bool EqualNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
            return false;
    return true;
}

void AppendUtf8(std::string& out, uint32_t cp)
{
    // Code points of unpaired surrogates are written like any other 3-byte
    // sequence, so a UTF-16 file with one survives a read and write unchanged.
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

// UTF-16LE bytes (without the mark) to UTF-8; an odd last byte is returned
// separately so it can be written back.
std::string DecodeUtf16(std::string_view bytes, std::string& oddByte)
{
    std::string out;
    out.reserve(bytes.size());
    const std::size_t units = bytes.size() / 2;
    auto unit = [&](std::size_t i) {
        return uint32_t(uint8_t(bytes[2 * i])) | (uint32_t(uint8_t(bytes[2 * i + 1])) << 8);
    };
    for (std::size_t i = 0; i < units; ++i) {
        const uint32_t u = unit(i);
        if (u >= 0xD800 && u < 0xDC00 && i + 1 < units) {
            const uint32_t v = unit(i + 1);
            if (v >= 0xDC00 && v < 0xE000) {
                AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00));
                ++i;
                continue;
            }
        }
        AppendUtf8(out, u);
    }
    oddByte = (bytes.size() % 2) ? std::string(1, bytes.back()) : std::string();
    return out;
}

void AppendUnit(std::string& out, uint32_t u)
{
    out += char(u & 0xFF);
    out += char((u >> 8) & 0xFF);
}

// UTF-8 to UTF-16LE. Every 3-byte sequence becomes one unit (also one in
// the surrogate range, which is how DecodeUtf16 keeps unpaired ones); a byte
// that starts no valid sequence is taken as the character of the same number.
std::string EncodeUtf16(std::string_view s)
{
    std::string out;
    out.reserve(s.size() * 2);
    std::size_t i = 0;
    auto cont = [&](std::size_t k) { return k < s.size() && (uint8_t(s[k]) & 0xC0) == 0x80; };
    while (i < s.size()) {
        const uint8_t b = uint8_t(s[i]);
        if (b < 0x80) {
            AppendUnit(out, b);
            i += 1;
        } else if (b >= 0xC2 && b < 0xE0 && cont(i + 1)) {
            AppendUnit(out, ((b & 0x1Fu) << 6) | (uint8_t(s[i + 1]) & 0x3Fu));
            i += 2;
        } else if (b >= 0xE0 && b < 0xF0 && cont(i + 1) && cont(i + 2)) {
            const uint32_t cp = ((b & 0x0Fu) << 12) | ((uint8_t(s[i + 1]) & 0x3Fu) << 6) | (uint8_t(s[i + 2]) & 0x3Fu);
            if (cp >= 0x800) {
                AppendUnit(out, cp);
                i += 3;
                continue;
            }
            AppendUnit(out, b);
            i += 1;
        } else if (b >= 0xF0 && b < 0xF5 && cont(i + 1) && cont(i + 2) && cont(i + 3)) {
            const uint32_t cp = ((b & 0x07u) << 18) | ((uint8_t(s[i + 1]) & 0x3Fu) << 12) |
                                ((uint8_t(s[i + 2]) & 0x3Fu) << 6) | (uint8_t(s[i + 3]) & 0x3Fu);
            if (cp >= 0x10000 && cp < 0x110000) {
                AppendUnit(out, 0xD800 + ((cp - 0x10000) >> 10));
                AppendUnit(out, 0xDC00 + ((cp - 0x10000) & 0x3FF));
                i += 4;
                continue;
            }
            AppendUnit(out, b);
            i += 1;
        } else {
            AppendUnit(out, b);
            i += 1;
        }
    }
    return out;
}

std::string_view Unquote(std::string_view v)
{
    v = Trim(v);
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
    return v;
}

} // namespace

std::string ProfileFile::CutChars(std::string_view text, std::size_t maxChars)
{
    std::size_t chars = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((uint8_t(text[i]) & 0xC0) == 0x80)
            continue;  // continuation byte: part of the character before
        if (chars == maxChars)
            return std::string(text.substr(0, i));
        ++chars;
    }
    return std::string(text);
}

int ProfileFile::ParseProfileInt(std::string_view value, int fallback)
{
    std::string_view v = Trim(value);
    if (v.empty())
        return fallback;
    bool negative = false;
    if (v.front() == '-' || v.front() == '+') {
        negative = v.front() == '-';
        v.remove_prefix(1);
    }
    unsigned base = 10;
    if (v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) {
        base = 16;
        v.remove_prefix(2);
    }
    // 32-bit wrap-around like the platform's own conversion, without overflow.
    uint32_t n = 0;
    for (char c : v) {
        unsigned d;
        if (c >= '0' && c <= '9')
            d = unsigned(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = unsigned(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = unsigned(c - 'A' + 10);
        else
            break;
        n = n * base + d;
    }
    if (negative)
        n = 0u - n;
    return int(n);
}

ProfileFile::Parsed ProfileFile::Classify(std::string_view text)
{
    Parsed p;
    std::string_view t = Trim(text);
    if (t.empty() || t.front() == ';')
        return p;
    if (t.front() == '[') {
        t.remove_prefix(1);
        const std::size_t close = t.find(']');
        p.kind = Kind::Section;
        p.name = Trim(close == std::string_view::npos ? t : t.substr(0, close));
        return p;
    }
    const std::size_t eq = t.find('=');
    if (eq == std::string_view::npos)
        return p;
    p.name = Trim(t.substr(0, eq));
    if (p.name.empty())
        return p;
    p.kind = Kind::Entry;
    p.value = t.substr(eq + 1);
    return p;
}

ProfileFile ProfileFile::Parse(std::string_view bytes)
{
    ProfileFile f;
    std::string text;
    if (bytes.size() >= 2 && uint8_t(bytes[0]) == 0xFF && uint8_t(bytes[1]) == 0xFE) {
        f.encoding_ = Encoding::Utf16LE;
        text = DecodeUtf16(bytes.substr(2), f.trailingByte_);
    } else if (bytes.size() >= 3 && uint8_t(bytes[0]) == 0xEF && uint8_t(bytes[1]) == 0xBB &&
               uint8_t(bytes[2]) == 0xBF) {
        f.encoding_ = Encoding::Utf8Bom;
        text.assign(bytes.substr(3));
    } else {
        text.assign(bytes);
    }
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t nl = text.find('\n', start);
        if (nl == std::string::npos) {
            f.lines_.push_back({text.substr(start), ""});
            break;
        }
        std::size_t end = nl;
        std::string eol = "\n";
        if (end > start && text[end - 1] == '\r') {
            --end;
            eol = "\r\n";
        }
        f.lines_.push_back({text.substr(start, end - start), eol});
        start = nl + 1;
    }
    return f;
}

ProfileFile ProfileFile::Load(const std::filesystem::path& path, bool* exists)
{
    if (exists)
        *exists = false;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return ProfileFile();
    if (exists)
        *exists = true;
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec || size > kMaxFileBytes)
        return ProfileFile();
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return ProfileFile();
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() > kMaxFileBytes)
        return ProfileFile();
    return Parse(bytes);
}

std::string ProfileFile::Serialize() const
{
    std::string text;
    for (const Line& l : lines_) {
        text += l.text;
        text += l.eol;
    }
    switch (encoding_) {
    case Encoding::Utf16LE:
        return std::string("\xFF\xFE", 2) + EncodeUtf16(text) + trailingByte_;
    case Encoding::Utf8Bom:
        return "\xEF\xBB\xBF" + text;
    case Encoding::Utf8:
        break;
    }
    return text;
}

bool ProfileFile::Save(const std::filesystem::path& path) const
{
    std::random_device rd;
    std::filesystem::path tmp = path;
    tmp += ".new-" + std::to_string(rd());
    const std::string bytes = Serialize();
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out)
            return false;
        out.write(bytes.data(), std::streamsize(bytes.size()));
        out.flush();
        if (!out) {
            out.close();
            std::error_code ec;
            std::filesystem::remove(tmp, ec);
            return false;
        }
    }
    std::error_code ec;
    // The new file keeps the old one's permissions (a private copy stays private).
    const auto old = std::filesystem::status(path, ec);
    if (!ec && std::filesystem::exists(old))
        std::filesystem::permissions(tmp, old.permissions(), ec);
    std::filesystem::rename(tmp, path, ec);
    if (ec) {
        std::filesystem::remove(tmp, ec);
        return false;
    }
    return true;
}

std::size_t ProfileFile::FindSection(std::string_view section) const
{
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        const Parsed p = Classify(lines_[i].text);
        if (p.kind == Kind::Section && EqualNoCase(p.name, Trim(section)))
            return i;
    }
    return std::string::npos;
}

std::size_t ProfileFile::FindKey(std::size_t header, std::string_view key) const
{
    for (std::size_t i = header + 1; i < lines_.size(); ++i) {
        const Parsed p = Classify(lines_[i].text);
        if (p.kind == Kind::Section)
            break;
        if (p.kind == Kind::Entry && EqualNoCase(p.name, Trim(key)))
            return i;
    }
    return std::string::npos;
}

std::optional<std::string> ProfileFile::Find(std::string_view section, std::string_view key) const
{
    const std::size_t header = FindSection(section);
    if (header == std::string::npos)
        return std::nullopt;
    const std::size_t line = FindKey(header, key);
    if (line == std::string::npos)
        return std::nullopt;
    return CutChars(Unquote(Classify(lines_[line].text).value), kMaxValueChars);
}

std::string ProfileFile::GetString(std::string_view section, std::string_view key, std::string_view fallback) const
{
    if (auto v = Find(section, key))
        return *v;
    return CutChars(fallback, kMaxValueChars);
}

int ProfileFile::GetInt(std::string_view section, std::string_view key, int fallback) const
{
    const auto v = Find(section, key);
    return v ? ParseProfileInt(*v, fallback) : fallback;
}

std::string ProfileFile::NewLineEnding() const
{
    for (const Line& l : lines_)
        if (!l.eol.empty())
            return l.eol;
    return "\r\n";
}

void ProfileFile::SetString(std::string_view section, std::string_view key, std::string_view value)
{
    std::string v(value);
    for (char& c : v)
        if (c == '\r' || c == '\n')
            c = ' ';
    const std::string eol = NewLineEnding();
    const std::size_t header = FindSection(section);
    if (header != std::string::npos) {
        const std::size_t at = FindKey(header, key);
        if (at != std::string::npos) {
            lines_[at].text = std::string(Classify(lines_[at].text).name) + "=" + v;
            return;
        }
        // After the section's last entry, so blank lines and comments that
        // separate it from the next section stay where they are.
        std::size_t last = header;
        for (std::size_t i = header + 1; i < lines_.size(); ++i) {
            const Parsed p = Classify(lines_[i].text);
            if (p.kind == Kind::Section)
                break;
            if (p.kind == Kind::Entry)
                last = i;
        }
        if (lines_[last].eol.empty())
            lines_[last].eol = eol;
        lines_.insert(lines_.begin() + std::ptrdiff_t(last + 1), Line{std::string(Trim(key)) + "=" + v, eol});
        return;
    }
    if (!lines_.empty() && lines_.back().eol.empty())
        lines_.back().eol = eol;
    lines_.push_back({"[" + std::string(Trim(section)) + "]", eol});
    lines_.push_back({std::string(Trim(key)) + "=" + v, eol});
}

std::string ReadProfileString(const std::filesystem::path& file, std::string_view section, std::string_view key,
                              std::string_view fallback)
{
    return ProfileFile::Load(file).GetString(section, key, fallback);
}

int ReadProfileInt(const std::filesystem::path& file, std::string_view section, std::string_view key, int fallback)
{
    return ProfileFile::Load(file).GetInt(section, key, fallback);
}

bool WriteProfileString(const std::filesystem::path& file, std::string_view section, std::string_view key,
                        std::string_view value)
{
    std::error_code ec;
    const bool present = std::filesystem::exists(file, ec);
    if (present) {
        // A file we cannot read whole (too large, unreadable) is left alone
        // rather than replaced by a file holding just this key.
        const std::uintmax_t size = std::filesystem::file_size(file, ec);
        if (ec || size > ProfileFile::kMaxFileBytes)
            return false;
        std::ifstream probe(file, std::ios::binary);
        if (!probe)
            return false;
    }
    ProfileFile f = ProfileFile::Load(file);
    f.SetString(section, key, value);
    return f.Save(file);
}

} // namespace kestova
