// Link-time fake of the milter library calls made inside callbacks.
//
// Unit tests link this instead of libmilter. A FakeConnection stands for one
// MTA connection (its SMFICTX*); the fake records every header and recipient
// the filter asks to add, can refuse them, and serves macro values.
#pragma once

#include <libmilter/mfapi.h>

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

struct FakeConnection {
  FakeConnection() = default;
  FakeConnection(const FakeConnection &) = delete;
  FakeConnection &operator=(const FakeConnection &) = delete;
  ~FakeConnection();  // the MTA's close: releases what the filter attached

  void *priv = nullptr;
  std::map<std::string, std::string> macros;  // e.g. {"{auth_authen}", "Bob"}
  std::vector<std::pair<std::string, std::string>> added_headers;
  std::vector<std::string> added_recipients;
  std::vector<std::string> calls;  // "addrcpt", "addheader" in call order
  int addheader_result = MI_SUCCESS;
  int addrcpt_result = MI_SUCCESS;
  // Called by smfi_setpriv before the new value is stored, e.g. to look at a
  // message context while it is being detached.
  std::function<void(void *old_priv, void *new_priv)> on_setpriv;

  SMFICTX *ctx() { return reinterpret_cast<SMFICTX *>(this); }
};

// What the fake smfi_version reports (default 1.0.1).
struct FakeVersion {
  unsigned int major = 1, minor = 0, patch = 1;
};
extern FakeVersion fake_version;
