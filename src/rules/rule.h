// The rule model.
//
// The rule file is turned at start-up, and again at each reload, into a
// RuleSet: Rule records in file order. A Rule holds a condition tree
// (ConditionNode, with MatchTerm leaves), its actions (Action, each with a
// parsed template of TemplatePiece records), the Halt flag, the
// `template_uses` bits and its line in the file. Every record owns what
// its unique_ptr fields point to; lists are appended at the tail and released
// in a loop, never by recursion along `next`. A Regex term keeps its
// expression compiled once, at load (rules/regex.h).
//
// Threads: built on one thread (start-up, or the daemon's reload thread) and
// then shared read-only: connection threads read it concurrently and nothing
// may write it, except Rule::matches, a relaxed atomic counter the daemon's
// delivery adds to. A set is released by whichever thread drops its last
// reference. Per-message state lives in MessageContext.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "base/tail_list.h"
#include "base/text.h"
#include "rules/regex.h"

// MatchTerm::field. Each value has its row in kFieldRows (rules/vocabulary.h);
// a switch over it names every value and has no default.
enum TestField : std::uint32_t {
  FIELD_UNDEFINED = 0,
  FIELD_SMTP_SENDER = 1,
  FIELD_FROM = 2,
  FIELD_TO = 3,
  FIELD_NOT_MATCHED = 4,
  FIELD_MATCH_ALL = 5,
  FIELD_HEADER = 6,  // MatchTerm::header_name names the field
  FIELD_SIZE = 7,    // MatchTerm::size; op is OP_OVER or OP_UNDER
  FIELD_ADDRESS = 8, // the addresses in the header fields MatchTerm::header_name names
};

// MatchTerm::op; its rows are kOperatorRows (rules/vocabulary.h).
enum MatchOp : std::uint32_t {
  OP_NONE = 0,
  OP_STARTS = 1,
  OP_ENDS = 2,
  OP_CONTAINS = 3,
  OP_IS = 4,
  OP_MATCHES = 5,  // wildcard pattern over the whole value (rules/wildcard.h)
  OP_REGEX = 6,    // MatchTerm::regex found anywhere in the value
  OP_OVER = 7,     // Size only
  OP_UNDER = 8,    // Size only
};

// ConditionNode::op
enum : std::uint32_t {
  COND_NONE = 0,
  COND_OR = 1,
  COND_AND = 2,
};

// Action::kind. A switch over it names every kind and has no default, so a
// new kind that some switch does not handle fails to compile.
enum ActionType : std::uint32_t {
  ACTION_STORE_IN = 0,
  ACTION_ADD_HEADER = 1,
  ACTION_PIPE = 2,
  ACTION_MAILDIR = 3,
  ACTION_ADD_RECIPIENT = 4,
};

// Action::with: the modifiers of an action's With clause.
enum : std::uint32_t {
  WITH_ENVELOPE = 1,  // the copy starts with the envelope: X-Envelope-From and X-Envelope-To lines
  WITH_CREATE = 2,    // Store In, Maildir: the missing directories of the path are made
};

// TemplatePiece::kind: what is inserted after the piece's literal; its rows
// are kPieceRows (rules/vocabulary.h).
enum PieceKind : std::uint32_t {
  PIECE_LITERAL = 0,
  PIECE_SENDER = 1,
  PIECE_SENDER_USER = 2,
  PIECE_SENDER_DOMAIN = 3,
  PIECE_FROM = 4,
  PIECE_FROM_USER = 5,
  PIECE_FROM_DOMAIN = 6,
  PIECE_TO = 7,
  PIECE_TO_USER = 8,
  PIECE_TO_DOMAIN = 9,
  PIECE_ALLTO = 10,
  PIECE_ALLTO_USER = 11,
  PIECE_ALLTO_DOMAIN = 12,
  PIECE_YEAR = 13,   // the message time, local: four digits
  PIECE_MONTH = 14,  // 01 to 12
  PIECE_DAY = 15,    // 01 to 31
  // %1% to %9%, each as a whole, .USER and .DOMAIN.
  PIECE_CAPTURE_1 = 16,
  PIECE_CAPTURE_1_USER = 17,
  PIECE_CAPTURE_1_DOMAIN = 18,
  PIECE_CAPTURE_2 = 19,
  PIECE_CAPTURE_2_USER = 20,
  PIECE_CAPTURE_2_DOMAIN = 21,
  PIECE_CAPTURE_3 = 22,
  PIECE_CAPTURE_3_USER = 23,
  PIECE_CAPTURE_3_DOMAIN = 24,
  PIECE_CAPTURE_4 = 25,
  PIECE_CAPTURE_4_USER = 26,
  PIECE_CAPTURE_4_DOMAIN = 27,
  PIECE_CAPTURE_5 = 28,
  PIECE_CAPTURE_5_USER = 29,
  PIECE_CAPTURE_5_DOMAIN = 30,
  PIECE_CAPTURE_6 = 31,
  PIECE_CAPTURE_6_USER = 32,
  PIECE_CAPTURE_6_DOMAIN = 33,
  PIECE_CAPTURE_7 = 34,
  PIECE_CAPTURE_7_USER = 35,
  PIECE_CAPTURE_7_DOMAIN = 36,
  PIECE_CAPTURE_8 = 37,
  PIECE_CAPTURE_8_USER = 38,
  PIECE_CAPTURE_8_DOMAIN = 39,
  PIECE_CAPTURE_9 = 40,
  PIECE_CAPTURE_9_USER = 41,
  PIECE_CAPTURE_9_DOMAIN = 42,
};

// The captures a template can name: %1% to %9% (PieceRow::capture).
inline constexpr std::uint32_t kMaxCaptures = 9;

// Rule::template_uses bits.
enum : std::uint32_t {
  USES_FIRST_TO = 1,  // some template uses %TO%, %TO.USER% or %TO.DOMAIN%
  USES_EACH_TO = 2,   // some template uses %ALLTO%, %ALLTO.USER% or %ALLTO.DOMAIN%
  USES_CAPTURES = 4,  // some template uses %1% to %9%
};

struct TemplatePiece {
  PieceKind kind = PIECE_LITERAL;
  Text literal;  // null when empty, except in the last piece
  std::unique_ptr<TemplatePiece> next;
};

struct Action {
  ActionType kind = ACTION_STORE_IN;
  std::uint32_t each_recipient = 0;
  std::int32_t literal_length = 1;
  std::uint32_t with = 0;          // WITH_ bits (Store In, Maildir, Pipe)
  TailList<TemplatePiece> pieces;  // never empty in a loaded action
  std::unique_ptr<Action> next;
};

struct MatchTerm {
  TestField field = FIELD_UNDEFINED;
  MatchOp op = OP_NONE;
  Text pattern;  // null for Not matched, Match all and Size; a Regex term's expression as written
  std::uint32_t negated = 0;
  Text header_name;        // Header, Address: the field name as written, compared without regard to case
  std::uint64_t size = 0;  // Size: the limit in bytes
  Regex regex;             // Regex: `pattern` compiled
};

struct ConditionNode {
  std::uint32_t op = COND_NONE;
  std::unique_ptr<ConditionNode> left;
  std::unique_ptr<ConditionNode> right;
  std::unique_ptr<MatchTerm> left_term;
  std::unique_ptr<MatchTerm> right_term;
  std::uint32_t negated = 0;

  ConditionNode() = default;
  ConditionNode(const ConditionNode &) = delete;
  ConditionNode &operator=(const ConditionNode &) = delete;
  ~ConditionNode();  // walks the right-nested chain in a loop
};

struct Rule {
  std::unique_ptr<ConditionNode> condition;
  TailList<Action> actions;  // empty when the rule has only Halt
  std::unique_ptr<Rule> next;
  std::uint32_t template_uses = 0;
  std::uint32_t halt = 0;
  int line = 0;  // of the rule's "{", counted from 1; 0 in a rule built by hand
  // Messages this rule matched since its set was loaded (the metrics).
  mutable std::atomic<std::uint64_t> matches{0};
};

using RuleList = TailList<Rule>;

// What a rule file loads to: its rules in file order, and whether an Add
// Header or an Add Recipient action stands in any of them (the filter warns
// when an MTA refuses it the right to add headers and recipients).
struct RuleSet {
  RuleList rules;
  bool has_add_header = false;
  bool has_add_recipient = false;

  RuleSet() = default;
  RuleSet(const RuleSet &) = delete;
  RuleSet &operator=(const RuleSet &) = delete;
  ~RuleSet();  // releases the rules in list order
};

// A new, empty Rule; null when memory cannot be allocated.
std::unique_ptr<Rule> new_rule() noexcept;

// Links `rule` after the last rule of `list` and returns it.
Rule *append_rule(RuleList &list, std::unique_ptr<Rule> rule) noexcept;

// A new Action linked after the last action of `rule`; null when memory
// cannot be allocated.
Action *add_action(Rule &rule) noexcept;

// Releases a condition tree.
void free_condition(std::unique_ptr<ConditionNode> node) noexcept;

// Releases the actions and the condition of `rule`, not the record itself.
void free_rule_contents(Rule &rule) noexcept;

// Releases every rule of `list` in list order (shutdown).
void free_rule_list(RuleList &list) noexcept;
