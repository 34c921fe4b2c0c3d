// Cross-checks the matcher's search against a plain model of the dialect's instruction machine:
// word stack, call/return backtracking, loop slots, no remembered states and no budgets. Random
// entries and subjects over a small alphabet; both must give the same yes/no answer.
//
// Cases where the two deliberately differ are skipped: a back-reference inside its own group, a
// back-reference together with a look-ahead (the model keeps captures made inside a look-ahead
// that matched), and searches the model cannot finish within its step cap (an empty pass of a
// lazy repetition loops forever there).
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "../src/pattern_tree.h"
#include "tokengate/gate/pattern_matcher.h"

namespace tokengate::gate {
namespace {

using detail::Item;
using detail::Node;
using detail::ParsedEntry;
using detail::Quant;

enum class Op {
  Nop,
  Char,
  Any,
  Set,
  BackRef,
  GroupStart,
  GroupEnd,
  PushGroup,
  PopGroup,
  Jump,
  Call,
  Return,
  PushPos,
  PopPos,
  PushSlot,
  PopSlot,
  StorePos,
  RestorePos,
  StoreHeight,
  RestoreHeight,
  ReturnUnlessMoved,
  Advance,
  GiveUp,
  Match
};

struct Ins {
  Op op;
  std::size_t a = 0;
  bool negated = false;
  std::vector<std::pair<char16_t, char16_t>> ranges;
};

class Model {
 public:
  bool skip = false;  // the entry uses a construct where the engine decides differently

  explicit Model(const ParsedEntry& e) : captures_(e.captures) {
    if (e.hasBackRef && e.hasNeg) {
      skip = true;
    }
    const std::size_t call = Emit(Op::Call);
    Emit(e.anchored ? Op::GiveUp : Op::Advance);
    code_[call].a = code_.size();
    for (const Item& it : e.items) {
      EmitItem(it);
    }
    Emit(Op::Match);
  }

  // nullopt when the step cap is reached.
  std::optional<bool> Run(std::u16string_view s) const {
    std::vector<std::size_t> stack;
    std::vector<std::size_t> slots(slots_, 0);
    std::vector<std::size_t> gs(captures_, 0), ge(captures_, 0);
    std::size_t pc = 0, pos = 0, start = 0;
    auto at = [&](std::size_t p) -> char16_t { return p < s.size() ? s[p] : u'\0'; };
    for (std::uint64_t steps = 0; steps < 2'000'000; ++steps) {
      const Ins& in = code_[pc];
      bool fail = false;
      switch (in.op) {
        case Op::Nop:
          ++pc;
          break;
        case Op::Char:
          if (at(pos) == static_cast<char16_t>(in.a)) {
            ++pos;
            ++pc;
          } else {
            fail = true;
          }
          break;
        case Op::Any:
          if (pos < s.size()) {
            ++pos;
            ++pc;
          } else {
            fail = true;
          }
          break;
        case Op::Set: {
          bool hit = false;
          for (auto [lo, hi] : in.ranges)
            hit = hit || (at(pos) >= lo && at(pos) <= hi);
          if (pos < s.size() && hit != in.negated) {
            ++pos;
            ++pc;
          } else {
            fail = true;
          }
          break;
        }
        case Op::BackRef: {
          const std::size_t len = ge[in.a] - gs[in.a];
          if (pos + len <= s.size() && s.substr(pos, len) == s.substr(gs[in.a], len)) {
            pos += len;
            ++pc;
          } else {
            fail = true;
          }
          break;
        }
        case Op::GroupStart:
          gs[in.a] = pos;
          ++pc;
          break;
        case Op::GroupEnd:
          ge[in.a] = pos;
          ++pc;
          break;
        case Op::PushGroup:
          stack.push_back(gs[in.a]);
          stack.push_back(ge[in.a]);
          ++pc;
          break;
        case Op::PopGroup:
          ge[in.a] = stack.back();
          stack.pop_back();
          gs[in.a] = stack.back();
          stack.pop_back();
          ++pc;
          break;
        case Op::Jump:
          pc = in.a;
          break;
        case Op::Call:
          stack.push_back(pc + 1);
          pc = in.a;
          break;
        case Op::Return:
          fail = true;
          break;
        case Op::PushPos:
          stack.push_back(pos);
          ++pc;
          break;
        case Op::PopPos:
          pos = stack.back();
          stack.pop_back();
          ++pc;
          break;
        case Op::PushSlot:
          stack.push_back(slots[in.a]);
          ++pc;
          break;
        case Op::PopSlot:
          slots[in.a] = stack.back();
          stack.pop_back();
          ++pc;
          break;
        case Op::StorePos:
          slots[in.a] = pos;
          ++pc;
          break;
        case Op::RestorePos:
          pos = slots[in.a];
          ++pc;
          break;
        case Op::StoreHeight:
          slots[in.a] = stack.size();
          ++pc;
          break;
        case Op::RestoreHeight:
          stack.resize(slots[in.a]);
          ++pc;
          break;
        case Op::ReturnUnlessMoved:
          if (pos == slots[in.a])
            fail = true;
          else
            ++pc;
          break;
        case Op::Advance:
          ++start;
          if (start >= s.size())
            return false;
          pos = start;
          stack.clear();
          pc = 0;
          break;
        case Op::GiveUp:
          return false;
        case Op::Match:
          return true;
      }
      if (fail) {
        pc = stack.back();
        stack.pop_back();
      }
    }
    return std::nullopt;
  }

 private:
  std::size_t Emit(Op op, std::size_t a = 0) {
    code_.push_back(Ins{op, a, false, {}});
    return code_.size() - 1;
  }

  void EmitItem(const Item& it) {
    auto x = [&] { EmitNode(it.node); };
    switch (it.quant) {
      case Quant::None:
        x();
        return;
      case Quant::Plus:
        x();
        [[fallthrough]];
      case Quant::Star:
        Greedy(x, true);
        return;
      case Quant::Opt:
        Greedy(x, false);
        return;
      case Quant::LazyPlus:
        x();
        [[fallthrough]];
      case Quant::LazyStar: {
        const std::size_t call = Emit(Op::Call);
        x();
        Emit(Op::Jump, call);
        code_[call].a = code_.size();
        return;
      }
      case Quant::LazyOpt: {
        const std::size_t call = Emit(Op::Call);
        x();
        code_[call].a = code_.size();
        return;
      }
    }
  }

  template <class X>
  void Greedy(X&& x, bool loop) {
    const std::size_t k = slots_++;
    const std::size_t first = Emit(Op::PushSlot, k);
    Emit(Op::StorePos, k);
    Emit(Op::PushPos);
    const std::size_t call = Emit(Op::Call);
    Emit(Op::PopPos);
    Emit(Op::PopSlot, k);
    const std::size_t jumpEnd = Emit(Op::Jump);
    code_[call].a = code_.size();
    x();
    Emit(Op::ReturnUnlessMoved, k);
    Emit(Op::StorePos, k);
    if (loop)
      Emit(Op::Jump, first);
    code_[jumpEnd].a = code_.size();
  }

  void Group(const std::vector<Item>& items) {
    const std::size_t call = Emit(Op::Call);
    Emit(Op::Return);
    code_[call].a = code_.size();
    for (const Item& it : items)
      EmitItem(it);
  }

  void Class(std::vector<std::pair<char16_t, char16_t>> ranges, bool negated = false) {
    const std::size_t i = Emit(Op::Set);
    code_[i].ranges = std::move(ranges);
    code_[i].negated = negated;
  }

  template <class A, class B>
  void Alternation(A&& first, B&& second) {
    Emit(Op::PushPos);
    const std::size_t call = Emit(Op::Call);
    Emit(Op::PopPos);
    const std::size_t jumpSecond = Emit(Op::Jump);
    code_[call].a = code_.size();
    first();
    const std::size_t jumpEnd = Emit(Op::Jump);
    code_[jumpSecond].a = code_.size();
    second();
    code_[jumpEnd].a = code_.size();
  }

  void EmitNode(const Node& n) {
    switch (n.kind) {
      case Node::Kind::Char:
        Emit(Op::Char, n.ch);
        return;
      case Node::Kind::Any:
        Emit(Op::Any);
        return;
      case Node::Kind::Set:
        Class(n.ranges, n.negated);
        return;
      case Node::Kind::End:
        Emit(Op::Char, 0);
        return;
      case Node::Kind::Group:
        Group(n.items);
        return;
      case Node::Kind::Capture: {
        open_.push_back(n.number);
        Emit(Op::PushGroup, n.number);
        Emit(Op::GroupStart, n.number);
        const std::size_t call = Emit(Op::Call);
        Emit(Op::PopGroup, n.number);
        Emit(Op::Return);
        code_[call].a = code_.size();
        for (const Item& it : n.items)
          EmitItem(it);
        Emit(Op::GroupEnd, n.number);
        open_.pop_back();
        return;
      }
      case Node::Kind::Neg: {
        const std::size_t a = slots_++, b = slots_++;
        Emit(Op::StorePos, a);
        Emit(Op::StoreHeight, b);
        const std::size_t call = Emit(Op::Call);
        Emit(Op::RestorePos, a);
        Emit(Op::RestoreHeight, b);
        const std::size_t jumpPast = Emit(Op::Jump);
        code_[call].a = code_.size();
        EmitNode(n.child[0]);
        Emit(Op::RestorePos, a);
        Emit(Op::RestoreHeight, b);
        Emit(Op::Return);
        code_[jumpPast].a = code_.size();
        return;
      }
      case Node::Kind::BackRef:
        for (std::uint32_t g : open_)
          skip = skip || g == n.number;
        Emit(Op::BackRef, n.number);
        return;
      case Node::Kind::Abbrev:
        Abbrev(n.ch);
        return;
    }
  }

  void Abbrev(char16_t c) {
    auto groupOf = [&](auto body) {
      const std::size_t call = Emit(Op::Call);
      Emit(Op::Return);
      code_[call].a = code_.size();
      body();
    };
    switch (c) {
      case u'a':
        return groupOf([&] { Class({{u'a', u'z'}, {u'A', u'Z'}, {u'0', u'9'}}); });
      case u'b':
        return groupOf([&] { Class({{u' ', u' '}, {u'\t', u'\t'}}); });
      case u'c':
        return groupOf([&] { Class({{u'a', u'z'}, {u'A', u'Z'}}); });
      case u'd':
        return groupOf([&] { Class({{u'0', u'9'}}); });
      case u'h':
        return groupOf([&] { Class({{u'0', u'9'}, {u'a', u'f'}, {u'A', u'F'}}); });
      case u'w':
        return groupOf([&] {
          Class({{u'a', u'z'}, {u'A', u'Z'}});
          Greedy([&] { Class({{u'a', u'z'}, {u'A', u'Z'}}); }, true);
        });
      case u'z':
        return groupOf([&] {
          Class({{u'0', u'9'}});
          Greedy([&] { Class({{u'0', u'9'}}); }, true);
        });
      case u'n':
        return Alternation([&] { Emit(Op::Char, u'\r'); },
                           [&] {
                             Greedy([&] { Emit(Op::Char, u'\r'); }, false);
                             Emit(Op::Char, u'\n');
                           });
      case u'q': {
        auto quoted = [&](char16_t q) {
          Emit(Op::Char, q);
          Greedy([&] { Class({{q, q}}, true); }, true);
          Emit(Op::Char, q);
        };
        return Alternation([&] { quoted(u'"'); }, [&] { quoted(u'\''); });
      }
      default:
        Emit(Op::Char, c);
        return;
    }
  }

  std::vector<Ins> code_;
  std::size_t slots_ = 0;
  std::size_t captures_;
  std::vector<std::uint32_t> open_;
};

TEST(PatternReference, RandomEntriesAgreeWithTheInstructionModel) {
  std::mt19937 rng(20261210);
  const std::u16string patternChars = u"ab.()[]{}!*+?^$\\-0\\nqz1\"";
  const std::u16string subjectChars = u"ab-1\"\r\n";
  int compared = 0, skipped = 0;
  for (int round = 0; round < 40000; ++round) {
    std::u16string entry;
    const std::size_t len = rng() % 9;
    for (std::size_t i = 0; i < len; ++i) {
      entry.push_back(patternChars[rng() % patternChars.size()]);
    }
    ParsedEntry parsed;
    PatternError error = PatternError::None;
    std::size_t offset = 0;
    if (entry.empty() || !detail::ParseEntry(entry, parsed, error, offset)) {
      continue;
    }
    Model model(parsed);
    for (int k = 0; k < 4; ++k) {
      std::u16string subject;
      const std::size_t slen = rng() % 11;
      for (std::size_t i = 0; i < slen; ++i) {
        subject.push_back(subjectChars[rng() % subjectChars.size()]);
      }
      const std::optional<bool> expected = model.Run(subject);
      const PatternListResult actual = MatchPatternList(entry, subject);
      if (model.skip || !expected || actual.outcome == PatternOutcome::Exhausted) {
        ++skipped;
        continue;
      }
      ++compared;
      ASSERT_EQ(actual.outcome == PatternOutcome::Match, *expected)
          << "entry '" << std::string(entry.begin(), entry.end()) << "' subject '"
          << std::string(subject.begin(), subject.end()) << "'";
    }
  }
  EXPECT_GT(compared, 15000);
  EXPECT_LT(skipped, compared / 10);
}

}  // namespace
}  // namespace tokengate::gate
