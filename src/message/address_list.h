// The addresses of an RFC 5322 address list (From, To, Cc, Return-Path ...).
//
// for_each_address reads one header field value, unfolded or folded (CR and
// LF are dropped, the blank after them kept), and hands out the addr-spec of
// every mailbox in order, as written: "Ann" <Ann@Example.org> gives
// Ann@Example.org, "c y"@example.org keeps its quotes, lower-casing is the
// caller's. What it leaves out:
//   - display names, and the words before the last of a run of words that
//     no "." or "@" joins (Ann Example ann@x gives ann@x);
//   - comments, nested, with quoted pairs, anywhere; blanks outside quoted
//     strings and domain literals;
//   - group names (friends: a@x, b@y; gives a@x and b@y; an empty group
//     gives nothing);
//   - the angle brackets, and a source route at their start
//     (<@relay,@relay2:Eve@Example.org> gives Eve@Example.org).
// A mailbox without "@" (postmaster) is handed out as it is. Angle brackets
// with no address in them (<>, the null sender of a Return-Path) give the
// empty address: no other empty one is handed out. Mailboxes are separated
// by "," or ";" outside brackets, quotes and comments; an unclosed angle
// bracket, domain literal, quoted string or comment runs to the end of the
// value. Nothing is ever rejected:
// what can be read is handed out, the rest skipped. One pass, no recursion,
// nothing read past `length`; NUL bytes count as blanks.
//
// The address is handed to `emit` as (pointer, length), not NUL-terminated,
// never holding CR, LF or NUL, at most as long as the value; the bytes live
// in a buffer of the call and are valid only while `emit` runs. `emit`
// returns true for the next address, false to stop.
//
// Returns null, or the name of what could not be allocated ("address") when
// the buffer for the addresses could not be: then nothing was handed out.
// It never logs. Any thread may call it.
#pragma once

#include <cstddef>

using AddressSink = bool (*)(void *context, const char *address, std::size_t length) noexcept;

const char *for_each_address(const char *value, std::size_t length, AddressSink sink, void *context) noexcept;

// The same with any callable `bool emit(const char *address, std::size_t length) noexcept`.
template <class Emit>
const char *for_each_address(const char *value, std::size_t length, Emit emit) noexcept {
  return for_each_address(
      value, length,
      [](void *context, const char *address, std::size_t address_length) noexcept {
        return (*static_cast<Emit *>(context))(address, address_length);
      },
      &emit);
}
