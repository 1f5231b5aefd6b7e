// Link-time fake of smfi_getpriv, smfi_setpriv, smfi_getsymval,
// smfi_addheader, smfi_addrcpt and smfi_version for unit tests.
#include "support/fake_smfi.h"

#include "milter/callbacks.h"

FakeVersion fake_version;

FakeConnection::~FakeConnection() {
  if (priv != nullptr) mlfi_close(ctx());
}

namespace {
FakeConnection *connection(SMFICTX *ctx) { return reinterpret_cast<FakeConnection *>(ctx); }
}  // namespace

extern "C" {

void *smfi_getpriv(SMFICTX *ctx) { return connection(ctx)->priv; }

int smfi_setpriv(SMFICTX *ctx, void *data) {
  FakeConnection *c = connection(ctx);
  if (c->on_setpriv) c->on_setpriv(c->priv, data);
  c->priv = data;
  return MI_SUCCESS;
}

char *smfi_getsymval(SMFICTX *ctx, char *name) {
  auto &macros = connection(ctx)->macros;
  auto found = macros.find(name);
  return found == macros.end() ? nullptr : found->second.data();
}

int smfi_addheader(SMFICTX *ctx, char *name, char *value) {
  FakeConnection *c = connection(ctx);
  c->calls.push_back("addheader");
  if (c->addheader_result == MI_SUCCESS) c->added_headers.emplace_back(name, value);
  return c->addheader_result;
}

int smfi_addrcpt(SMFICTX *ctx, char *recipient) {
  FakeConnection *c = connection(ctx);
  c->calls.push_back("addrcpt");
  if (c->addrcpt_result == MI_SUCCESS) c->added_recipients.emplace_back(recipient);
  return c->addrcpt_result;
}

int smfi_version(unsigned int *major, unsigned int *minor, unsigned int *patch) {
  *major = fake_version.major;
  *minor = fake_version.minor;
  *patch = fake_version.patch;
  return MI_SUCCESS;
}

}  // extern "C"
