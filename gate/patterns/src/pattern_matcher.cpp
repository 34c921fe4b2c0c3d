// The pattern dialect and its search.
//
// An entry is parsed into a small tree, checked, and compiled into a flat program for a
// backtracking machine with an explicit stack (no recursion over the subject). The machine keeps
// three protections against hostile input:
// - a visited set of (instruction, position) states, used when the entry has no back-reference:
//   a state whose future depends only on the instruction and the position is explored once, so
//   nested repetitions such as "(a+)+b" take polynomial, not exponential, time;
// - a step budget per entry (4,000,000) and per list test (16,000,000) and a stack budget per
//   search; an entry that exceeds one is reported as Exhausted, never as a silent non-match;
// - a nesting limit for the parser (its recursion follows the nesting of the entry).
//
// Decisions on points the dialect leaves open:
// - An entry that ends in a single "\" outside a class stands for a literal backslash (a list
//   written "a\|b" thus gives the entries "a\" and "b", and later entries keep working). Inside a
//   class the class is then unclosed, which makes the entry invalid.
// - A back-reference inside its own capture group matches what that group recorded on its last
//   completed pass (the empty string on the first pass): a group records its stretch only when it
//   closes.
// - An empty group "()" or "{}" can match the empty string, so "*", "+", "*?" and "+?" after it
//   make the entry invalid, like after "(a?)".
// - When the search cannot grow its state (stack budget reached, memory exhausted) or runs out of
//   steps, the entry's outcome is Exhausted; MatchesPatternList counts it as matching.
// - The rule that a pass matching the empty string counts as not made holds for "*", "+" (after
//   its first pass) and "?", and here also for the lazy "*?" and "+?", so that "(!a)*?b" cannot
//   loop forever; "??" allows an empty pass.
// - A look-ahead whose element matched undoes every capture made inside it before the search
//   backtracks, so a back-reference never sees the text of an abandoned path.
// - The subject and the list end at their first NUL character, as the host hands them over as
//   NUL-terminated strings.
#include "tokengate/gate/pattern_matcher.h"

#include "pattern_tree.h"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <utility>
#include <vector>

namespace tokengate::gate {
namespace detail {
namespace {

constexpr std::uint64_t kStepBudget = 4'000'000;            // machine steps per entry search
constexpr std::uint64_t kListStepBudget = 16'000'000;       // machine steps per list test
constexpr std::size_t kMaxFrames = 1u << 18;                // backtracking frames per search
constexpr std::size_t kMaxMemoBits = std::size_t{1} << 24;  // visited-set size (2 MiB)
constexpr std::uint32_t kNoPos = std::numeric_limits<std::uint32_t>::max();

char16_t Lower(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
}

std::u16string_view CutAtNul(std::u16string_view s) {
  const std::size_t nul = s.find(u'\0');
  return nul == std::u16string_view::npos ? s : s.substr(0, nul);
}

class Parser {
 public:
  explicit Parser(std::u16string_view entry) : p_(entry) {}

  PatternError error = PatternError::None;
  std::size_t errorOffset = 0;

  bool Parse(ParsedEntry& out) {
    out_ = &out;
    if (!p_.empty() && p_[0] == u'^') {
      out.anchored = true;
      i_ = 1;
    }
    out.items.reserve(p_.size());  // at most one item per character
    return ParseSequence(out.items, 0, 0);
  }

 private:
  enum class Elem { Ok, Stop, Error };

  bool Fail(PatternError e, std::size_t at) {
    error = e;
    errorOffset = at;
    return false;
  }

  static bool IsCloser(char16_t c) { return c == u')' || c == u']' || c == u'}'; }

  // Parses items up to `closer` (0 at the top level, where a stray closer ends the pattern).
  bool ParseSequence(std::vector<Item>& items, char16_t closer, std::size_t openedAt) {
    for (;;) {
      if (i_ >= p_.size()) {
        if (closer == 0) {
          return true;
        }
        return Fail(
            closer == u')' ? PatternError::UnclosedGroup : PatternError::UnclosedCaptureGroup,
            openedAt);
      }
      const char16_t c = p_[i_];
      if (IsCloser(c)) {
        if (closer == 0) {
          i_ = p_.size();  // a stray closer ends the pattern; the rest is ignored
          return true;
        }
        if (c == closer) {
          ++i_;
          return true;
        }
        return Fail(PatternError::StrayCloserInGroup, i_);
      }
      Item item;
      const Elem r = ParseElement(item.node, closer != 0);
      if (r == Elem::Error) {
        return false;
      }
      if (r == Elem::Stop) {
        i_ = p_.size();
        return true;
      }
      ParseQuantifier(item);
      if (Unbounded(item.quant) && item.node.canEmpty) {
        return Fail(PatternError::RepeatedEmpty, item.node.offset);
      }
      if (item.quant != Quant::None && item.node.hasUnbounded) {
        out_->nestedRepetition = true;
        if (negDepth_ > 0 && Unbounded(item.quant)) {
          out_->riskyNesting = true;
        }
      }
      items.push_back(std::move(item));
    }
  }

  void ParseQuantifier(Item& item) {
    if (i_ >= p_.size()) {
      return;
    }
    const char16_t c = p_[i_];
    if (c != u'*' && c != u'+' && c != u'?') {
      return;
    }
    ++i_;
    const bool lazy = i_ < p_.size() && p_[i_] == u'?';
    if (lazy) {
      ++i_;
    }
    if (c == u'*') {
      item.quant = lazy ? Quant::LazyStar : Quant::Star;
    } else if (c == u'+') {
      item.quant = lazy ? Quant::LazyPlus : Quant::Plus;
    } else {
      item.quant = lazy ? Quant::LazyOpt : Quant::Opt;
    }
  }

  Elem ParseElement(Node& node, bool inGroup) {
    node.offset = i_;
    const char16_t c = p_[i_];
    switch (c) {
      case u'.':
        node.kind = Node::Kind::Any;
        ++i_;
        return Elem::Ok;
      case u'$':
        node.kind = i_ + 1 == p_.size() ? Node::Kind::End : Node::Kind::Char;
        node.ch = u'$';
        ++i_;
        return Elem::Ok;
      case u'[':
        return ParseClass(node) ? Elem::Ok : Elem::Error;
      case u'(':
      case u'{': {
        if (++depth_ > kMaxPatternNesting) {
          return Fail(PatternError::NestedTooDeeply, i_), Elem::Error;
        }
        const std::size_t open = i_++;
        if (c == u'{') {
          node.kind = Node::Kind::Capture;
          node.number = out_->captures++;
        } else {
          node.kind = Node::Kind::Group;
        }
        if (!ParseSequence(node.items, c == u'(' ? u')' : u'}', open)) {
          return Elem::Error;
        }
        --depth_;
        node.canEmpty = std::all_of(node.items.begin(), node.items.end(), ItemCanEmpty);
        node.hasUnbounded = std::any_of(node.items.begin(), node.items.end(), [](const Item& it) {
          return Unbounded(it.quant) || it.node.hasUnbounded;
        });
        return Elem::Ok;
      }
      case u'!': {
        const std::size_t at = i_++;
        if (i_ >= p_.size() || IsCloser(p_[i_])) {
          if (inGroup) {
            return Fail(PatternError::NegationWithoutElement, at), Elem::Error;
          }
          return Elem::Stop;
        }
        if (++depth_ > kMaxPatternNesting) {
          return Fail(PatternError::NestedTooDeeply, at), Elem::Error;
        }
        node.kind = Node::Kind::Neg;
        node.child.emplace_back();
        ++negDepth_;
        const Elem r = ParseElement(node.child[0], inGroup);
        --negDepth_;
        --depth_;
        if (r != Elem::Ok) {
          return r;
        }
        out_->hasNeg = true;
        node.canEmpty = node.child[0].canEmpty;
        node.hasUnbounded = node.child[0].hasUnbounded;
        return Elem::Ok;
      }
      case u'\\':
        return ParseEscape(node) ? Elem::Ok : Elem::Error;
      default:
        node.kind = Node::Kind::Char;
        node.ch = c;
        ++i_;
        return Elem::Ok;
    }
  }

  bool ParseEscape(Node& node) {
    const std::size_t at = i_++;
    if (i_ >= p_.size()) {
      node.kind = Node::Kind::Char;  // a trailing "\" is a literal backslash
      node.ch = u'\\';
      return true;
    }
    const char16_t c = p_[i_];
    if (c >= u'0' && c <= u'9') {
      std::uint64_t n = 0;
      while (i_ < p_.size() && p_[i_] >= u'0' && p_[i_] <= u'9') {
        n = std::min<std::uint64_t>(n * 10 + (p_[i_] - u'0'), std::uint64_t{1} << 40);
        ++i_;
      }
      if (n >= out_->captures) {
        return Fail(PatternError::UnknownBackReference, at);
      }
      node.kind = Node::Kind::BackRef;
      node.number = static_cast<std::uint32_t>(n);
      out_->hasBackRef = true;
      return true;
    }
    ++i_;
    switch (c) {
      case u'a':
      case u'b':
      case u'c':
      case u'd':
      case u'h':
      case u'n':
      case u'q':
      case u'w':
      case u'z':
        node.kind = Node::Kind::Abbrev;
        node.ch = c;
        node.hasUnbounded = c == u'q' || c == u'w' || c == u'z';
        return true;
      default:
        node.kind = Node::Kind::Char;
        node.ch = c;
        return true;
    }
  }

  bool ParseClass(Node& node) {
    const std::size_t open = i_++;
    node.kind = Node::Kind::Set;
    if (i_ < p_.size() && p_[i_] == u'^') {
      node.negated = true;
      ++i_;
    }
    if (i_ < p_.size() && p_[i_] == u']') {
      return Fail(PatternError::EmptyClass, open);
    }
    for (;;) {
      if (i_ >= p_.size()) {
        return Fail(PatternError::UnclosedClass, open);
      }
      char16_t lo = p_[i_];
      if (lo == u']') {
        ++i_;
        return true;
      }
      const std::size_t itemAt = i_++;
      if (lo == u'\\') {
        if (i_ >= p_.size()) {
          return Fail(PatternError::UnclosedClass, open);
        }
        lo = p_[i_] == u't' ? u'\t' : p_[i_];
        ++i_;
      }
      char16_t hi = lo;
      if (i_ < p_.size() && p_[i_] == u'-') {
        ++i_;
        if (i_ >= p_.size() || p_[i_] == u']') {
          return Fail(PatternError::RangeWithoutEnd, itemAt);
        }
        hi = p_[i_++];  // the range end is taken as written
        if (hi < lo) {
          return Fail(PatternError::RangeBelowStart, itemAt);
        }
      }
      node.ranges.emplace_back(lo, hi);
    }
  }

  std::u16string_view p_;
  std::size_t i_ = 0;
  std::size_t depth_ = 0;
  std::size_t negDepth_ = 0;
  ParsedEntry* out_ = nullptr;
};

}  // namespace

bool ParseEntry(std::u16string_view entry, ParsedEntry& out, PatternError& error,
                std::size_t& errorOffset) {
  Parser parser(entry);
  const bool ok = parser.Parse(out);
  error = parser.error;
  errorOffset = parser.errorOffset;
  return ok;
}

}  // namespace detail

namespace {

using namespace detail;

// ---- Program --------------------------------------------------------------------------------

enum class Op : std::uint8_t {
  Char,        // a: character
  Any,         //
  Set,         // a: set index
  End,         //
  BackRef,     // a: group
  Split,       // continue at a, keep b as the alternative
  Jmp,         // a: target
  SaveSlot,    // a: slot; slot = position (restored on backtracking)
  ClearSlot,   // a: slot; slot = none (restored on backtracking)
  CheckMoved,  // a: slot; fail when the position equals the slot
  CapStart,    // a: group; remember where the group's current pass started
  CapEnd,      // a: group; record the pass
  NegBegin,    // a: slot, b: instruction after the negation
  NegMatched,  // a: slot; the negated element matched: cut back and fail
  Match,
};

struct Inst {
  Op op;
  std::uint32_t a = 0;
  std::uint32_t b = 0;
};

struct CharSet {
  bool negated = false;
  std::vector<std::pair<char16_t, char16_t>> ranges;
  bool Contains(char16_t c) const {
    bool in = false;
    for (const auto& [lo, hi] : ranges) {
      if (c >= lo && c <= hi) {
        in = true;
        break;
      }
    }
    return in != negated;
  }
};

struct Program {
  std::vector<Inst> code;
  std::vector<CharSet> sets;
  std::uint32_t slots = 0;
  std::uint32_t captures = 0;
  bool anchored = false;
  bool memo = false;  // the visited set may be used (no back-references)
  // For each instruction: whether it lies inside a negated element, and which repetition slots
  // enclose it (their check still lies ahead).
  std::vector<bool> inNeg;
  std::vector<std::uint32_t> loopStart;  // index into loopSlots, size code.size() + 1
  std::vector<std::uint32_t> loopSlots;
};

class Compiler {
 public:
  explicit Compiler(Program& prog, bool keepCaptures) : prog_(prog), keepCaptures_(keepCaptures) {}

  void Sequence(const std::vector<Item>& items) {
    for (const Item& item : items) {
      EmitItem(item);
    }
  }

  void Finish() {
    Emit(Op::Match);
    const std::size_t n = prog_.code.size();
    prog_.inNeg.assign(n, false);
    for (const auto& [from, to] : negRanges_) {
      for (std::uint32_t pc = from; pc <= to; ++pc) {
        prog_.inNeg[pc] = true;
      }
    }
    // Count the enclosing repetitions of each instruction, then fill them in.
    prog_.loopStart.assign(n + 1, 0);
    for (const auto& loop : loops_) {
      for (std::uint32_t pc = loop.from; pc <= loop.to; ++pc) {
        ++prog_.loopStart[pc + 1];
      }
    }
    for (std::size_t pc = 0; pc < n; ++pc) {
      prog_.loopStart[pc + 1] += prog_.loopStart[pc];
    }
    prog_.loopSlots.assign(prog_.loopStart[n], 0);
    std::vector<std::uint32_t> fill(prog_.loopStart.begin(), prog_.loopStart.end() - 1);
    for (const auto& loop : loops_) {
      for (std::uint32_t pc = loop.from; pc <= loop.to; ++pc) {
        prog_.loopSlots[fill[pc]++] = loop.slot;
      }
    }
  }

 private:
  struct Loop {
    std::uint32_t slot, from, to;
  };

  std::uint32_t Here() const { return static_cast<std::uint32_t>(prog_.code.size()); }
  std::uint32_t Emit(Op op, std::uint32_t a = 0, std::uint32_t b = 0) {
    prog_.code.push_back(Inst{op, a, b});
    return Here() - 1;
  }
  std::uint32_t AddSet(bool negated, std::vector<std::pair<char16_t, char16_t>> ranges) {
    prog_.sets.push_back(CharSet{negated, std::move(ranges)});
    return static_cast<std::uint32_t>(prog_.sets.size() - 1);
  }

  template <class Body>
  void Repeat(Quant q, Body&& body) {
    switch (q) {
      case Quant::None:
        body();
        return;
      case Quant::Opt: {
        // [save k] [split] body [check k]: a pass that matched nothing counts as not made
        const std::uint32_t slot = prog_.slots++;
        Emit(Op::SaveSlot, slot);
        const std::uint32_t split = Emit(Op::Split);
        const std::uint32_t bodyAt = Here();
        body();
        const std::uint32_t check = Emit(Op::CheckMoved, slot);
        SetSplit(split, true, bodyAt, Here());
        loops_.push_back(Loop{slot, bodyAt, check});
        return;
      }
      case Quant::LazyOpt: {
        // [split] body: the empty outcome is tried first, and an empty pass is allowed
        const std::uint32_t split = Emit(Op::Split);
        const std::uint32_t bodyAt = Here();
        body();
        SetSplit(split, false, bodyAt, Here());
        return;
      }
      case Quant::Star:
      case Quant::LazyStar: {
        // [save k] [split] body [check k] [jmp save]
        const std::uint32_t slot = prog_.slots++;
        const std::uint32_t save = Emit(Op::SaveSlot, slot);
        const std::uint32_t split = Emit(Op::Split);
        const std::uint32_t bodyAt = Here();
        body();
        const std::uint32_t check = Emit(Op::CheckMoved, slot);
        Emit(Op::Jmp, save);
        SetSplit(split, q == Quant::Star, bodyAt, Here());
        loops_.push_back(Loop{slot, bodyAt, check});
        return;
      }
      case Quant::Plus:
      case Quant::LazyPlus: {
        // [clear k] body [check k] [save k] [split body/exit]; the first pass is not checked
        const std::uint32_t slot = prog_.slots++;
        Emit(Op::ClearSlot, slot);
        const std::uint32_t bodyAt = Here();
        body();
        const std::uint32_t check = Emit(Op::CheckMoved, slot);
        Emit(Op::SaveSlot, slot);
        const std::uint32_t split = Emit(Op::Split);
        SetSplit(split, q == Quant::Plus, bodyAt, Here());
        loops_.push_back(Loop{slot, bodyAt, check});
        return;
      }
    }
  }

  void SetSplit(std::uint32_t split, bool bodyFirst, std::uint32_t bodyAt, std::uint32_t exitAt) {
    prog_.code[split].a = bodyFirst ? bodyAt : exitAt;
    prog_.code[split].b = bodyFirst ? exitAt : bodyAt;
  }

  void EmitItem(const Item& item) {
    Repeat(item.quant, [&] { EmitNode(item.node); });
  }

  void EmitNode(const Node& node) {
    switch (node.kind) {
      case Node::Kind::Char:
        Emit(Op::Char, node.ch);
        return;
      case Node::Kind::Any:
        Emit(Op::Any);
        return;
      case Node::Kind::Set:
        Emit(Op::Set, AddSet(node.negated, node.ranges));
        return;
      case Node::Kind::End:
        Emit(Op::End);
        return;
      case Node::Kind::Group:
        Sequence(node.items);
        return;
      case Node::Kind::Capture:
        if (keepCaptures_) {
          Emit(Op::CapStart, node.number);
          Sequence(node.items);
          Emit(Op::CapEnd, node.number);
        } else {
          Sequence(node.items);
        }
        return;
      case Node::Kind::Neg: {
        const std::uint32_t slot = prog_.slots++;
        const std::uint32_t begin = Emit(Op::NegBegin, slot);
        EmitNode(node.child[0]);
        const std::uint32_t matched = Emit(Op::NegMatched, slot);
        prog_.code[begin].b = Here();
        negRanges_.emplace_back(begin + 1, matched);
        return;
      }
      case Node::Kind::BackRef:
        Emit(Op::BackRef, node.number);
        return;
      case Node::Kind::Abbrev:
        EmitAbbrev(node.ch);
        return;
    }
  }

  void EmitClass(std::vector<std::pair<char16_t, char16_t>> ranges) {
    Emit(Op::Set, AddSet(false, std::move(ranges)));
  }

  void EmitAbbrev(char16_t letter) {
    switch (letter) {
      case u'a':
        return EmitClass({{u'a', u'z'}, {u'A', u'Z'}, {u'0', u'9'}});
      case u'b':
        return EmitClass({{u' ', u' '}, {u'\t', u'\t'}});
      case u'c':
        return EmitClass({{u'a', u'z'}, {u'A', u'Z'}});
      case u'd':
        return EmitClass({{u'0', u'9'}});
      case u'h':
        return EmitClass({{u'0', u'9'}, {u'a', u'f'}, {u'A', u'F'}});
      case u'w':
        return Repeat(Quant::Plus, [&] { EmitClass({{u'a', u'z'}, {u'A', u'Z'}}); });
      case u'z':
        return Repeat(Quant::Plus, [&] { EmitClass({{u'0', u'9'}}); });
      case u'n': {
        // CR alone first; otherwise an optional CR and an LF.
        const std::uint32_t split = Emit(Op::Split);
        const std::uint32_t crAlone = Emit(Op::Char, u'\r');
        const std::uint32_t jmp = Emit(Op::Jmp);
        const std::uint32_t second = Here();
        Repeat(Quant::Opt, [&] { Emit(Op::Char, u'\r'); });
        Emit(Op::Char, u'\n');
        SetSplit(split, true, crAlone, second);
        prog_.code[jmp].a = Here();
        return;
      }
      case u'q': {
        // A double-quoted string first, otherwise a single-quoted one.
        const std::uint32_t split = Emit(Op::Split);
        const std::uint32_t first = Here();
        Quoted(u'"');
        const std::uint32_t jmp = Emit(Op::Jmp);
        const std::uint32_t second = Here();
        Quoted(u'\'');
        SetSplit(split, true, first, second);
        prog_.code[jmp].a = Here();
        return;
      }
      default:
        Emit(Op::Char, letter);
        return;
    }
  }

  void Quoted(char16_t quote) {
    Emit(Op::Char, quote);
    Repeat(Quant::Star, [&] { Emit(Op::Set, AddSet(true, {{quote, quote}})); });
    Emit(Op::Char, quote);
  }

  Program& prog_;
  bool keepCaptures_;
  std::vector<Loop> loops_;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> negRanges_;
};

// ---- Search ---------------------------------------------------------------------------------

struct Frame {
  enum class Kind : std::uint8_t { Alt, Slot, CapPending, Cap };
  Kind kind;
  std::uint32_t index;  // Alt: instruction; otherwise slot or group
  std::uint32_t a;      // Alt: position; Slot/CapPending: old value; Cap: old start
  std::uint32_t b;      // Cap: old end
};

class Machine {
 public:
  Machine(const Program& prog, std::u16string_view subject, std::uint64_t budget)
      : budget_(budget),
        prog_(prog),
        s_(subject),
        slots_(prog.slots, kNoPos),
        pending_(prog.captures, 0),
        caps_(prog.captures, {0, 0}) {
    stack_.reserve(256);
    const std::size_t bits = prog.code.size() * (subject.size() + 1);
    if (prog.memo && bits <= kMaxMemoBits) {
      visited_.assign(bits, false);
    }
  }

  std::uint64_t steps = 0;

  PatternOutcome Run() {
    const std::uint32_t n = static_cast<std::uint32_t>(s_.size());
    const std::uint32_t lastStart = prog_.anchored || n == 0 ? 0 : n - 1;
    for (std::uint32_t start = 0; start <= lastStart; ++start) {
      const PatternOutcome r = RunFrom(start);
      if (r != PatternOutcome::NoMatch) {
        return r;
      }
    }
    return PatternOutcome::NoMatch;
  }

 private:
  bool Push(Frame f) {
    if (stack_.size() >= kMaxFrames) {
      return false;
    }
    stack_.push_back(f);
    return true;
  }

  void Undo(const Frame& f) {
    switch (f.kind) {
      case Frame::Kind::Alt:
        break;
      case Frame::Kind::Slot:
        slots_[f.index] = f.a;
        break;
      case Frame::Kind::CapPending:
        pending_[f.index] = f.a;
        break;
      case Frame::Kind::Cap:
        caps_[f.index] = {f.a, f.b};
        break;
    }
  }

  // Pops frames, undoing their changes, until an alternative is found.
  bool Backtrack(std::uint32_t& pc, std::uint32_t& pos) {
    while (!stack_.empty()) {
      const Frame f = stack_.back();
      stack_.pop_back();
      if (f.kind == Frame::Kind::Alt) {
        pc = f.index;
        pos = f.a;
        return true;
      }
      Undo(f);
    }
    return false;
  }

  // True when the future of (pc, pos) depends on nothing else: outside negated elements and with
  // every enclosing repetition already past the position its current pass started at.
  bool Memoizable(std::uint32_t pc, std::uint32_t pos) const {
    if (prog_.inNeg[pc]) {
      return false;
    }
    for (std::uint32_t i = prog_.loopStart[pc]; i < prog_.loopStart[pc + 1]; ++i) {
      if (slots_[prog_.loopSlots[i]] == pos) {
        return false;
      }
    }
    return true;
  }

  PatternOutcome RunFrom(std::uint32_t start) {
    stack_.clear();
    std::uint32_t pc = 0;
    std::uint32_t pos = start;
    const std::uint32_t n = static_cast<std::uint32_t>(s_.size());
    const std::size_t width = s_.size() + 1;
    for (;;) {
      if (++steps > budget_) {
        return PatternOutcome::Exhausted;
      }
      bool ok = true;
      if (!visited_.empty() && Memoizable(pc, pos)) {
        const std::size_t bit = static_cast<std::size_t>(pc) * width + pos;
        if (visited_[bit]) {
          ok = false;
        } else {
          visited_[bit] = true;
        }
      }
      if (ok) {
        const Inst& in = prog_.code[pc];
        switch (in.op) {
          case Op::Char:
            ok = pos < n && s_[pos] == static_cast<char16_t>(in.a);
            pc++, pos += ok ? 1 : 0;
            break;
          case Op::Any:
            ok = pos < n;
            pc++, pos += ok ? 1 : 0;
            break;
          case Op::Set:
            ok = pos < n && prog_.sets[in.a].Contains(s_[pos]);
            pc++, pos += ok ? 1 : 0;
            break;
          case Op::End:
            ok = pos == n;
            pc++;
            break;
          case Op::BackRef: {
            const auto [from, to] = caps_[in.a];
            const std::uint32_t len = to > from ? to - from : 0;
            ok = n - pos >= len && s_.substr(pos, len) == s_.substr(from, len);
            pc++, pos += ok ? len : 0;
            break;
          }
          case Op::Split:
            if (!Push({Frame::Kind::Alt, in.b, pos, 0})) {
              return PatternOutcome::Exhausted;
            }
            pc = in.a;
            break;
          case Op::Jmp:
            pc = in.a;
            break;
          case Op::SaveSlot:
          case Op::ClearSlot:
            if (!Push({Frame::Kind::Slot, in.a, slots_[in.a], 0})) {
              return PatternOutcome::Exhausted;
            }
            slots_[in.a] = in.op == Op::SaveSlot ? pos : kNoPos;
            pc++;
            break;
          case Op::CheckMoved:
            ok = slots_[in.a] != pos;
            pc++;
            break;
          case Op::CapStart:
            if (!Push({Frame::Kind::CapPending, in.a, pending_[in.a], 0})) {
              return PatternOutcome::Exhausted;
            }
            pending_[in.a] = pos;
            pc++;
            break;
          case Op::CapEnd:
            if (!Push({Frame::Kind::Cap, in.a, caps_[in.a].first, caps_[in.a].second})) {
              return PatternOutcome::Exhausted;
            }
            caps_[in.a] = {pending_[in.a], pos};
            pc++;
            break;
          case Op::NegBegin:
            // The alternative below is where the search goes on when the element fails.
            slots_[in.a] = static_cast<std::uint32_t>(stack_.size());
            if (!Push({Frame::Kind::Alt, in.b, pos, 0})) {
              return PatternOutcome::Exhausted;
            }
            pc++;
            break;
          case Op::NegMatched:
            // The element matched, so the negation fails: drop every choice made since it began
            // (undoing their changes) and backtrack from there.
            while (stack_.size() > slots_[in.a]) {
              Undo(stack_.back());
              stack_.pop_back();
            }
            ok = false;
            break;
          case Op::Match:
            return PatternOutcome::Match;
        }
      }
      if (!ok && !Backtrack(pc, pos)) {
        return PatternOutcome::NoMatch;
      }
    }
  }

  std::uint64_t budget_;
  const Program& prog_;
  std::u16string_view s_;
  std::vector<std::uint32_t> slots_;
  std::vector<std::uint32_t> pending_;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> caps_;
  std::vector<Frame> stack_;
  std::vector<bool> visited_;
};

std::u16string Lowered(std::u16string_view s) {
  std::u16string out(s);
  for (char16_t& c : out) {
    c = Lower(c);
  }
  return out;
}

// `s` lowercased: `s` itself when it holds no capital letter (most paths and lists), otherwise a
// lowered copy kept in `storage`.
std::u16string_view LoweredView(std::u16string_view s, std::u16string& storage) {
  if (std::none_of(s.begin(), s.end(), [](char16_t c) { return c >= u'A' && c <= u'Z'; })) {
    return s;
  }
  storage = Lowered(s);
  return storage;
}

struct EntryResult {
  PatternOutcome outcome;
  PatternError error = PatternError::None;
  std::size_t errorOffset = 0;
  std::uint64_t steps = 0;
};

// True for the characters that mean something other than themselves somewhere in an entry. "^"
// is the anchor only at the start and "$" the end only at the end; both are tested apart.
bool IsSpecial(char16_t c) {
  switch (c) {
    case u'.':
    case u'[':
    case u']':
    case u'(':
    case u')':
    case u'{':
    case u'}':
    case u'!':
    case u'\\':
    case u'*':
    case u'+':
    case u'?':
      return true;
    default:
      return false;
  }
}

// An entry of plain characters (after an optional "^", with an optional final "$") compiles to
// one character instruction per character, an end instruction for the "$" and the final match:
// a program that advances its position with every instruction, so that no state is ever
// reached twice and every start position costs exactly the instructions it runs. The search is
// then a comparison at each start position; it counts the steps the machine takes, one per
// instruction run, so that the step budget ends it exactly where it ends the machine. Entries of
// any other form give nullopt.
std::optional<EntryResult> TestPlainEntry(std::u16string_view entry, std::u16string_view subject,
                                          std::uint64_t budget) {
  bool anchored = false;
  if (!entry.empty() && entry.front() == u'^') {
    anchored = true;
    entry.remove_prefix(1);
  }
  bool atEnd = false;
  if (!entry.empty() && entry.back() == u'$') {
    atEnd = true;
    entry.remove_suffix(1);
  }
  if (std::any_of(entry.begin(), entry.end(), IsSpecial)) {
    return std::nullopt;
  }
  if (subject.size() >= kNoPos) {
    return EntryResult{PatternOutcome::Exhausted};
  }
  const std::size_t n = subject.size();
  const std::size_t m = entry.size();
  const std::size_t lastStart = anchored || n == 0 ? 0 : n - 1;
  std::uint64_t steps = 0;
  for (std::size_t start = 0; start <= lastStart; ++start) {
    std::size_t k = 0;
    while (k < m && start + k < n && subject[start + k] == entry[k]) {
      ++k;
    }
    // The characters that matched, then the one that failed; or all of them, the end test when
    // there is one and, when that holds, the match instruction.
    const bool matched = k == m && (!atEnd || start + m == n);
    const std::uint64_t run = k < m ? k + 1 : m + (atEnd ? 1 : 0) + (matched ? 1 : 0);
    if (steps + run > budget) {
      return EntryResult{PatternOutcome::Exhausted, PatternError::None, 0, budget + 1};
    }
    steps += run;
    if (matched) {
      return EntryResult{PatternOutcome::Match, PatternError::None, 0, steps};
    }
  }
  return EntryResult{PatternOutcome::NoMatch, PatternError::None, 0, steps};
}

// An entry of characters and "." (any character), each optionally repeated with "*" or "*?",
// after an optional "^" and with an optional final "$": the shape of the reload list's
// "/.*cmd=reload.*" and of most lists. Every repetition repeats one element that consumes a
// character, so its passes always move, and the search has no back-reference, so it remembers
// the states it has explored. Its answer is then whether some start position the machine tries
// (0, or 0 to n - 1 unanchored) begins a stretch the entry describes, which is computed here on
// the set of elements reached (at most 62 of them). The machine's steps are not counted, so this
// is used only where they cannot matter: where the machine provably stays within `budget` (a
// program of P instructions over n characters takes at most (5P + 1)(n + 1) steps: each state
// runs once, a repeated element once more per pass start, and every other step is a return to
// a state already run) and where the answer ends the list test (a match, or the last entry).
struct GlobElement {
  char16_t ch = 0;
  bool any = false;
  bool repeated = false;
};

// At most 62 elements, kept in place: a glob test allocates nothing.
struct GlobElements {
  std::array<GlobElement, 63> items;
  std::size_t count = 0;
  std::size_t size() const { return count; }
  const GlobElement& operator[](std::size_t i) const { return items[i]; }
  const GlobElement* begin() const { return items.data(); }
  const GlobElement* end() const { return items.data() + count; }
  void push_back(const GlobElement& e) { items[count++] = e; }
};

bool ParseGlob(std::u16string_view entry, GlobElements& out, bool& anchored, bool& atEnd) {
  anchored = !entry.empty() && entry.front() == u'^';
  std::size_t i = anchored ? 1 : 0;
  atEnd = false;
  while (i < entry.size()) {
    const char16_t c = entry[i];
    GlobElement e;
    if (c == u'$' && i + 1 == entry.size()) {
      atEnd = true;
      break;
    }
    if (c == u'.') {
      e.any = true;
      ++i;
    } else if (c == u'\\') {
      if (i + 1 == entry.size()) {
        e.ch = u'\\';  // a final "\" stands for itself
        ++i;
      } else {
        const char16_t escaped = entry[i + 1];
        if ((escaped >= u'0' && escaped <= u'9') ||
            std::u16string_view(u"abcdhnqwz").find(escaped) != std::u16string_view::npos) {
          return false;  // back-references and abbreviations are not plain elements
        }
        e.ch = escaped;
        i += 2;
      }
    } else if (IsSpecial(c)) {
      return false;
    } else {
      e.ch = c;
      ++i;
    }
    if (i < entry.size() && entry[i] == u'*') {
      e.repeated = true;
      ++i;
      if (i < entry.size() && entry[i] == u'?') {
        ++i;  // lazy: another order of trying, the same answer
      }
    }
    out.push_back(e);
    if (out.size() > 62) {
      return false;
    }
  }
  return true;
}

std::optional<PatternOutcome> TestGlobEntry(std::u16string_view entry, std::u16string_view subject,
                                            std::uint64_t budget, bool last) {
  GlobElements elements;
  bool anchored = false;
  bool atEnd = false;
  if (!ParseGlob(entry, elements, anchored, atEnd)) {
    return std::nullopt;
  }
  const std::uint64_t n = subject.size();
  std::uint64_t program = 1 + (atEnd ? 1 : 0);
  for (const GlobElement& e : elements) {
    program += e.repeated ? 5 : 1;
  }
  if (program * (n + 1) > kMaxMemoBits || (5 * program + 1) * (n + 1) > budget) {
    return std::nullopt;
  }
  const std::size_t k = elements.size();
  const std::uint64_t done = std::uint64_t{1} << k;
  // Bit i: the first i elements are behind. From bit i the repeated elements that follow may be
  // passed over: `skip[i]` holds every bit reached that way.
  std::uint64_t skip[64];
  skip[k] = done;
  for (std::size_t i = k; i-- > 0;) {
    skip[i] = (std::uint64_t{1} << i) | (elements[i].repeated ? skip[i + 1] : 0);
  }
  const auto close = [&](std::uint64_t set) {
    std::uint64_t out = 0;
    for (std::uint64_t rest = set; rest != 0; rest &= rest - 1) {
      out |= skip[std::countr_zero(rest)];
    }
    return out;
  };
  const std::uint64_t lastStart = anchored || n == 0 ? 0 : n - 1;
  std::uint64_t reached = 0;
  for (std::uint64_t pos = 0;; ++pos) {
    if (pos <= lastStart) {
      reached |= 1u;
    }
    reached = close(reached);
    if (!atEnd && (reached & done) != 0) {
      return PatternOutcome::Match;
    }
    if (pos == n) {
      break;
    }
    if (reached == 0 && pos >= lastStart) {
      break;  // no start is left that could still begin a match
    }
    const char16_t c = subject[pos];
    std::uint64_t next = 0;
    for (std::uint64_t rest = reached & (done - 1); rest != 0; rest &= rest - 1) {
      const auto i = static_cast<std::size_t>(std::countr_zero(rest));
      if (elements[i].any || elements[i].ch == c) {
        next |= std::uint64_t{1} << (elements[i].repeated ? i : i + 1);
      }
    }
    reached = next;
  }
  if (atEnd && (reached & done) != 0) {
    return PatternOutcome::Match;
  }
  if (!last) {
    return std::nullopt;  // later entries' budgets depend on the steps this search would take
  }
  return PatternOutcome::NoMatch;
}

// A valid entry that starts with plain characters compiles to one character instruction for
// each of them first. At a start position where the subject does not begin with all of them the
// machine runs the ones that match and the one that fails, and has no choice to go back to.
// When that happens at every start position, the outcome is no match after exactly those steps,
// and neither the compiled program nor the machine is needed. Otherwise nullopt.
std::optional<EntryResult> RejectedByPrefix(const ParsedEntry& parsed, std::u16string_view subject,
                                            std::uint64_t budget) {
  std::size_t m = 0;
  while (m < parsed.items.size() && parsed.items[m].quant == Quant::None &&
         parsed.items[m].node.kind == Node::Kind::Char) {
    ++m;
  }
  if (m == 0) {
    return std::nullopt;
  }
  const std::size_t n = subject.size();
  const std::size_t lastStart = parsed.anchored || n == 0 ? 0 : n - 1;
  std::uint64_t steps = 0;
  for (std::size_t start = 0; start <= lastStart; ++start) {
    std::size_t k = 0;
    while (k < m && start + k < n && subject[start + k] == parsed.items[k].node.ch) {
      ++k;
    }
    if (k == m) {
      return std::nullopt;  // the rest of the entry decides
    }
    if (steps + k + 1 > budget) {
      return EntryResult{PatternOutcome::Exhausted, PatternError::None, 0, budget + 1};
    }
    steps += k + 1;
  }
  return EntryResult{PatternOutcome::NoMatch, PatternError::None, 0, steps};
}

// Tests one (lowercased) entry against a lowercased subject; `last` when no entry follows.
EntryResult TestEntry(std::u16string_view entry, std::u16string_view subject, std::uint64_t budget,
                      bool last) {
  if (const std::optional<EntryResult> plain = TestPlainEntry(entry, subject, budget)) {
    return *plain;
  }
  if (subject.size() < kNoPos) {
    if (const std::optional<PatternOutcome> glob = TestGlobEntry(entry, subject, budget, last)) {
      return EntryResult{*glob};
    }
  }
  ParsedEntry parsed;
  PatternError error = PatternError::None;
  std::size_t errorOffset = 0;
  if (!ParseEntry(entry, parsed, error, errorOffset)) {
    return {PatternOutcome::Invalid, error, errorOffset, 0};
  }
  if (subject.size() >= kNoPos) {
    return {PatternOutcome::Exhausted};
  }
  if (const std::optional<EntryResult> rejected = RejectedByPrefix(parsed, subject, budget)) {
    return *rejected;
  }
  Program prog;
  prog.code.reserve(4 * entry.size() + 2);
  prog.anchored = parsed.anchored;
  prog.captures = parsed.captures;
  prog.memo = !parsed.hasBackRef;
  Compiler compiler(prog, parsed.hasBackRef);
  compiler.Sequence(parsed.items);
  compiler.Finish();
  Machine machine(prog, subject, budget);
  const PatternOutcome outcome = machine.Run();
  return {outcome, PatternError::None, 0, machine.steps};
}

}  // namespace

std::string_view DescribePatternError(PatternError error) noexcept {
  switch (error) {
    case PatternError::None:
      return "valid";
    case PatternError::UnclosedGroup:
      return "\"(\" has no matching \")\"";
    case PatternError::UnclosedCaptureGroup:
      return "\"{\" has no matching \"}\"";
    case PatternError::StrayCloserInGroup:
      return "a \")\", \"]\" or \"}\" inside a group does not close it";
    case PatternError::NegationWithoutElement:
      return "\"!\" inside a group has nothing to negate";
    case PatternError::UnclosedClass:
      return "\"[\" has no matching \"]\"";
    case PatternError::EmptyClass:
      return "empty character class";
    case PatternError::RangeWithoutEnd:
      return "character range has no end";
    case PatternError::RangeBelowStart:
      return "character range ends below its start";
    case PatternError::UnknownBackReference:
      return "back-reference to a capture group not opened before it";
    case PatternError::RepeatedEmpty:
      return "\"*\", \"+\", \"*?\" or \"+?\" applied to an element that can match nothing";
    case PatternError::NestedTooDeeply:
      return "groups, classes or negations nested too deeply";
  }
  return "unknown";
}

std::size_t CountPatternEntries(std::u16string_view list) noexcept {
  list = CutAtNul(list);
  if (list.empty()) {
    return 0;
  }
  return static_cast<std::size_t>(std::count(list.begin(), list.end(), u'|')) + 1;
}

PatternListResult MatchPatternList(std::u16string_view listIn, std::u16string_view subjectIn) {
  PatternListResult result;
  const std::u16string_view list = CutAtNul(listIn);
  if (list.empty()) {
    result.outcome = PatternOutcome::NoMatch;
    return result;
  }
  try {
    std::u16string subjectStorage;
    std::u16string listStorage;
    const std::u16string_view subject = LoweredView(CutAtNul(subjectIn), subjectStorage);
    const std::u16string_view lowered = LoweredView(list, listStorage);
    std::size_t begin = 0;
    for (std::size_t index = 0;; ++index) {
      const std::size_t bar = lowered.find(u'|', begin);
      const std::size_t end = bar == std::u16string::npos ? lowered.size() : bar;
      const std::u16string_view entry(lowered.data() + begin, end - begin);
      const EntryResult r =
          TestEntry(entry, subject, std::min(kStepBudget, kListStepBudget - result.steps),
                    bar == std::u16string::npos);
      result.steps += r.steps;
      if (r.outcome != PatternOutcome::NoMatch) {
        result.outcome = r.outcome;
        result.entryIndex = index;
        result.entryOffset = begin;
        result.entry = std::u16string(list.substr(begin, end - begin));
        result.error = r.error;
        result.errorOffset = r.errorOffset;
        return result;
      }
      if (bar == std::u16string::npos) {
        result.outcome = PatternOutcome::NoMatch;
        result.entryIndex = index + 1;
        return result;
      }
      begin = bar + 1;
    }
  } catch (const std::bad_alloc&) {
    // No room to lowercase, compile or search: undecided, like an exhausted search.
    result.outcome = PatternOutcome::Exhausted;
    return result;
  }
}

bool MatchesPatternList(std::u16string_view list, std::u16string_view subject) {
  const PatternOutcome outcome = MatchPatternList(list, subject).outcome;
  return outcome == PatternOutcome::Match || outcome == PatternOutcome::Exhausted;
}

PatternCheck CheckPattern(std::u16string_view entryIn) {
  PatternCheck check;
  const std::u16string entry = Lowered(CutAtNul(entryIn));
  ParsedEntry parsed;
  if (!ParseEntry(entry, parsed, check.error, check.errorOffset)) {
    return check;
  }
  check.nestedRepetition = parsed.nestedRepetition;
  check.backtrackingRisk = parsed.riskyNesting || (parsed.nestedRepetition && parsed.hasBackRef);
  return check;
}

}  // namespace tokengate::gate
