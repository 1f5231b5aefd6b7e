// PrintMail against a plain fwrite of the same record bytes, both to a file
// in the page cache, rewritten from its start and flushed for every record as
// a Store In append is. Sizes: a 2 KB and a 1 MB body.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/log.h"
#include "message/record.h"
#include "bench_support.h"

namespace {

std::FILE *scratch_file() {
  std::FILE *out = std::tmpfile();
  if (out == nullptr) {
    std::perror("tmpfile");
    std::abort();
  }
  return out;
}

const std::time_t kMessageTime = 1796724000;

}  // namespace

static void BM_PrintMail(benchmark::State &state) {
  const Log log;
  auto msg = make_message(static_cast<std::size_t>(state.range(0)));
  std::FILE *out = scratch_file();
  for (auto _ : state) {
    std::rewind(out);
    PrintMail(out, kMessageTime, *msg, log);
    std::fflush(out);
  }
  if (std::ftell(out) != msg->record_size) state.SkipWithError("PrintMail did not write record_size bytes");
  std::fclose(out);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * msg->record_size);
}

static void BM_PlainWrite(benchmark::State &state) {
  const Log log;
  auto msg = make_message(static_cast<std::size_t>(state.range(0)));
  // The very bytes PrintMail writes, made once.
  std::string record;
  {
    char *bytes = nullptr;
    std::size_t length = 0;
    std::FILE *memory = open_memstream(&bytes, &length);
    PrintMail(memory, kMessageTime, *msg, log);
    std::fclose(memory);
    record.assign(bytes, length);
    std::free(bytes);
  }
  std::FILE *out = scratch_file();
  for (auto _ : state) {
    std::rewind(out);
    std::fwrite(record.data(), 1, record.size(), out);
    std::fflush(out);
  }
  std::fclose(out);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(record.size()));
}

BENCHMARK(BM_PrintMail)->Arg(2048)->Arg(1 << 20);
BENCHMARK(BM_PlainWrite)->Arg(2048)->Arg(1 << 20);
