// The gate's INI profile reader: a conf file parsed once into sections of key=value lines.
//
// Observable results, the same as the platform's profile reader gives for ordinary files:
// - section and key names are compared without regard to ASCII letter case;
// - the first section of a name is the one read, and within it the first occurrence of a key;
// - blanks (spaces, tabs) around section names, key names and values are dropped;
// - a value enclosed in a matching pair of double or single quotes loses that pair;
// - lines without "=" and lines before the first section header are ignored;
// - a key that is absent and a key whose value is empty both read as an empty value;
// - a value longer than 9,999 characters is cut to its first 9,999.
// The file is decoded as UTF-8 (a UTF-8 byte-order mark is skipped); a file that starts with a
// UTF-16LE byte-order mark is decoded as UTF-16LE.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tokengate::gate {

// Longest value the reader hands out, in UTF-16 units.
inline constexpr std::size_t kMaxProfileValueChars = 9999;
// Largest conf file the reader accepts; bigger files are refused rather than read in part.
inline constexpr std::size_t kMaxProfileFileBytes = 16u * 1024u * 1024u;

class IniProfile {
 public:
  struct Entry {
    std::u16string key;
    std::u16string value;  // trimmed, quotes stripped, cut to kMaxProfileValueChars
    std::size_t line = 0;  // 1-based line number in the file
  };
  struct Section {
    std::u16string name;
    std::size_t line = 0;
    std::vector<Entry> entries;  // in file order, duplicates kept
  };

  enum class OpenResult { Ok, NotFound, Unreadable, TooLarge };

  IniProfile() = default;

  // Parses the bytes of a conf file. Never fails: anything unrecognisable is ignored.
  static IniProfile Parse(std::string_view bytes);

  // Reads and parses a file. On anything but Ok the profile is empty.
  static OpenResult Open(const std::filesystem::path& file, IniProfile& out);

  // The value of a key in a section, or empty when absent.
  std::u16string Get(std::u16string_view section, std::u16string_view key) const;

  // The first section of that name, or nullptr.
  const Section* FindSection(std::u16string_view section) const;

  const std::vector<Section>& Sections() const noexcept { return sections_; }

 private:
  std::vector<Section> sections_;
};

}  // namespace tokengate::gate
