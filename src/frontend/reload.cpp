// Reloading the rule file: load it aside, check it, swap it in, log the outcome.
#include "frontend/reload.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "rules/parser.h"

namespace {

constexpr char kWhere[] = "reload";

std::size_t count_rules(const RuleList &rules) noexcept {
  std::size_t count = 0;
  for (const Rule *rule = rules.head.get(); rule != nullptr; rule = rule->next.get()) ++count;
  return count;
}

bool refuse(const char *path, const char *why, const Log &log, ReloadStats &stats) noexcept {
  log.warning(kWhere, "Rule file \"%s\" not loaded, the rules in use are kept: %s", path, why);
  ++stats.failed;
  return false;
}

// The parser's message on one line: each line break a space, none at the end.
void join_lines(std::string &text) noexcept {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  for (char &ch : text)
    if (ch == '\n') ch = ' ';
}

// Each line the parser wrote to its diagnostics stream, as a WARNING line.
void log_diagnostics(const char *path, const char *text, std::size_t size, const Log &log) noexcept {
  const char *end = text + size;
  while (text < end) {
    const char *newline = static_cast<const char *>(std::memchr(text, '\n', static_cast<std::size_t>(end - text)));
    const char *line_end = newline != nullptr ? newline : end;
    if (line_end > text) log.warning(kWhere, "Rule file \"%s\": %.*s", path, static_cast<int>(line_end - text), text);
    text = line_end + 1;
  }
}

}  // namespace

bool reload_rules(const char *path, Filter &filter, ReloadStats &stats) noexcept {
  const Log &log = filter.log;
  constexpr char kNoMemory[] = "Unable to allocate memory while reading the config file.";
  std::shared_ptr<RuleSet> set(new (std::nothrow) RuleSet());
  char *captured = nullptr;
  std::size_t size = 0;
  // The connector warnings, which start-up writes to standard error.
  std::FILE *diagnostics = set ? open_memstream(&captured, &size) : nullptr;
  if (diagnostics == nullptr) return refuse(path, kNoMemory, log, stats);
  std::string error;
  const bool loaded = load_rule_file(path, *set, diagnostics, error);
  std::fclose(diagnostics);
  const std::unique_ptr<char, decltype(&std::free)> warnings(captured, &std::free);
  if (!loaded) {
    join_lines(error);
    return refuse(path, error.c_str(), log, stats);
  }
  const std::size_t count = count_rules(set->rules);
  if (count == 0 && !filter.rules()->rules.empty()) return refuse(path, "the file holds no rule", log, stats);

  if (warnings) log_diagnostics(path, warnings.get(), size, log);
  filter.set_rules(std::move(set));
  stats.loaded_at = std::time(nullptr);
  ++stats.succeeded;
  log.lifecycle("Rule file \"%s\" reloaded: %zu rule%s.", path, count, count == 1 ? "" : "s");
  return true;
}
