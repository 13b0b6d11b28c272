// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Profile files ("ini"): bracketed section headers and key=value lines, read
// and written with the semantics the desktop program's settings and language
// files were made for:
//   - section and key names are found without regard to letter case (ASCII);
//   - a value is taken without the spaces around it and without one pair of
//     matching surrounding quotes, and is cut at 254 characters (the reader's
//     buffer holds 255 with the terminator);
//   - integers are read as profile integers: optional sign, decimal digits (or
//     a 0x prefix and hex digits) up to the first other character; an empty
//     value gives the default, a value without digits gives 0;
//   - a missing file, section or key gives the caller's default;
//   - writing a key replaces only that key's line (or adds one line, or a
//     section), and every other line stays byte for byte as it was;
//   - UTF-16LE files with a byte-order mark and UTF-8 files (with or without
//     a mark) are both read, and a file is written back in its own encoding.
// Standard library only. Nothing here shows a message; bad bytes are taken as
// text and never make a lookup fail (defaults are returned instead).

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestova {

class ProfileFile {
public:
    enum class Encoding { Utf8, Utf8Bom, Utf16LE };

    // Longest value handed out, in characters (code points).
    static constexpr std::size_t kMaxValueChars = 254;
    // Files longer than this are not taken as profiles (every key defaults).
    static constexpr std::uintmax_t kMaxFileBytes = 4u << 20;

    ProfileFile() = default;

    // Builds the profile from a file's bytes. Never fails: bytes that are not
    // text are kept as they are and simply match no section.
    static ProfileFile Parse(std::string_view bytes);
    // Reads a file; a missing, unreadable or oversized file gives an empty
    // profile (UTF-8) and `exists` false.
    static ProfileFile Load(const std::filesystem::path& path, bool* exists = nullptr);

    // The file's bytes: the original ones where nothing was changed.
    std::string Serialize() const;
    // Writes the bytes to a new file beside `path` and renames it over
    // `path`, so a failed write leaves the old file whole. False on failure.
    bool Save(const std::filesystem::path& path) const;

    Encoding GetEncoding() const { return encoding_; }

    // The key's value (UTF-8, trimmed, unquoted, cut to 254 characters), or
    // nothing when the section or the key is missing.
    std::optional<std::string> Find(std::string_view section, std::string_view key) const;
    std::string GetString(std::string_view section, std::string_view key, std::string_view fallback) const;
    int GetInt(std::string_view section, std::string_view key, int fallback) const;

    // Sets the key's value (UTF-8; no line breaks are written: they are
    // replaced by spaces). Adds the key at the end of its section, or the
    // section at the end of the file, when missing.
    void SetString(std::string_view section, std::string_view key, std::string_view value);

    // Cuts UTF-8 text after `maxChars` code points (never inside one).
    static std::string CutChars(std::string_view text, std::size_t maxChars);
    // Profile integer of a value (see the top of this file).
    static int ParseProfileInt(std::string_view value, int fallback);

private:
    struct Line {
        std::string text;  // UTF-8 (WTF-8 for unpaired UTF-16 surrogates), without the line end
        std::string eol;   // "\r\n", "\n", "\r" or "" for the last line
    };
    enum class Kind { Other, Section, Entry };
    struct Parsed {
        Kind kind = Kind::Other;
        std::string_view name;   // section name or key
        std::string_view value;  // raw value after '=' (entries)
    };
    static Parsed Classify(std::string_view text);
    // Index of the section header line, or npos.
    std::size_t FindSection(std::string_view section) const;
    // Index of the key's line inside the section starting at `header`, or npos.
    std::size_t FindKey(std::size_t header, std::string_view key) const;
    std::string NewLineEnding() const;

    Encoding encoding_ = Encoding::Utf8;
    std::vector<Line> lines_;
    std::string trailingByte_;  // an odd last byte of a UTF-16 file, kept as is
};

// One-call access to a file, the way the platform's profile functions are
// used: each call reads the file again, and a write rewrites it at once.
std::string ReadProfileString(const std::filesystem::path& file, std::string_view section, std::string_view key,
                              std::string_view fallback);
int ReadProfileInt(const std::filesystem::path& file, std::string_view section, std::string_view key, int fallback);
bool WriteProfileString(const std::filesystem::path& file, std::string_view section, std::string_view key,
                        std::string_view value);

} // namespace kestova
