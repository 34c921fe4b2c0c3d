// The parsed form of one pattern entry. Internal to the matcher; shared with its tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "tokengate/gate/pattern_matcher.h"

namespace tokengate::gate::detail {

// ---- Tree -----------------------------------------------------------------------------------

enum class Quant : std::uint8_t { None, Star, Plus, Opt, LazyStar, LazyPlus, LazyOpt };

inline bool Unbounded(Quant q) {
  return q == Quant::Star || q == Quant::Plus || q == Quant::LazyStar || q == Quant::LazyPlus;
}

struct Item;

struct Node {
  enum class Kind : std::uint8_t { Char, Any, Set, End, Group, Capture, Neg, BackRef, Abbrev };
  Kind kind = Kind::Char;
  char16_t ch = 0;                                    // Char; Abbrev letter
  bool negated = false;                               // Set
  std::vector<std::pair<char16_t, char16_t>> ranges;  // Set
  std::uint32_t number = 0;                           // Capture, BackRef
  std::vector<Item> items;                            // Group, Capture
  std::vector<Node> child;                            // Neg: exactly one
  bool canEmpty = false;
  bool hasUnbounded = false;  // holds a repetition without upper bound (or \w, \z)
  std::size_t offset = 0;     // position in the entry, for diagnostics
};

struct Item {
  Node node;
  Quant quant = Quant::None;
};

inline bool ItemCanEmpty(const Item& item) {
  switch (item.quant) {
    case Quant::Star:
    case Quant::Opt:
    case Quant::LazyStar:
    case Quant::LazyPlus:  // counted as able to match nothing, as the dialect states
    case Quant::LazyOpt:
      return true;
    case Quant::None:
    case Quant::Plus:
      return item.node.canEmpty;
  }
  return false;
}

struct ParsedEntry {
  bool anchored = false;
  std::vector<Item> items;
  std::uint32_t captures = 0;
  bool hasBackRef = false;
  bool hasNeg = false;
  bool nestedRepetition = false;
  bool riskyNesting = false;  // nested unbounded repetition inside a look-ahead
};

// Parses one lowercased entry. On failure returns false and names the error and its offset.
bool ParseEntry(std::u16string_view entry, ParsedEntry& out, PatternError& error,
                std::size_t& errorOffset);

}  // namespace tokengate::gate::detail
