// Inputs shared by the micro-benchmarks: a rule file of any length in the
// shape of a real one, and a captured message built as the capture callbacks
// build it. Single-threaded; everything returned is owned by the caller.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "message/message_context.h"
#include "rules/rule.h"

// `count` rules cycling through five shapes (sender, recipient and
// authenticated-user tests, sub-conditions, Not matched; Store In, Pipe, Add
// Header, Halt), with a comment line now and then. Few of them match
// make_message's message.
std::string make_rule_text(int count);

// `count` rules of one shape (a sub-condition of a sender and a recipient
// test, a negated authenticated-user test, a Store In), none of which
// matches make_message's message: the cost per rule is the same at any count.
std::string make_uniform_rule_text(int count);

// `count` rules of the same shape with header tests: a sub-condition of a
// test on a field the message lacks (List-Id) and one on its Subject, then a
// negated test on its Received field. None matches make_message's message.
std::string make_header_rule_text(int count);

// `count` rules of the same shape with regular expressions: a sub-condition
// of an expression on the sender and one on the Subject, then a negated one
// on the authenticated user. None matches make_message's message.
std::string make_regex_rule_text(int count);

// Parses `text` into `rules`; aborts the benchmark run on a syntax error.
void parse_or_die(const std::string &text, RuleList &rules);

// A message from sender@example.test (authenticated as "sender") to three
// recipients, with twelve ordinary headers and `body_bytes` of body in
// chunks of at most `chunk_bytes`, and record_size completed as at end of
// message.
std::unique_ptr<MessageContext> make_message(std::size_t body_bytes, std::size_t chunk_bytes = 65535);
