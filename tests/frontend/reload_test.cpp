// Reloading the rule file: which files replace the rules in use, which are
// refused, and the log lines of each.
#include "frontend/reload.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "support/milter_helpers.h"

namespace {

constexpr char kKept[] = "<time> Quorvane(reload): WARNING - Rule file \"PATH\" not loaded, the rules in use are kept: ";

struct Case {
  const char *name;
  const char *text;  // the file; null: none, "DIR": a directory
  bool serving;      // the set in use holds a rule
  bool want_replaced;
  std::vector<std::string> want_lines;  // PATH stands for the file
};

std::string with_path(std::string text, const std::string &path) {
  for (std::size_t at; (at = text.find("PATH")) != std::string::npos;) text.replace(at, 4, path);
  return text;
}

TEST(ReloadRules, ReplacesTheRulesOrKeepsThemWithOneWarning) {
  const Case cases[] = {
      {"two rules", "# archive\n{ Match all } Store In /a;\n{ Not matched } Halt;\n", true, true,
       {"<time> Quorvane: Rule file \"PATH\" reloaded: 2 rules.\n"}},
      {"one rule", "{ Match all } Halt;", true, true, {"<time> Quorvane: Rule file \"PATH\" reloaded: 1 rule.\n"}},
      {"syntax error: its lines joined", "{ Match all } Halt\n", true, false,
       {std::string(kKept) +
        "Parsing error - expected , or ; Be aware that the config file format now requires rules to end in \";\", "
        "so your config file may be out of date\n"}},
      {"rules before the error are not used", "{ Match all } Halt;\n{ Frm is x } Halt;\n", true, false,
       {std::string(kKept) + "Parsing error - expected From\n"}},
      {"missing file", nullptr, true, false,
       {std::string(kKept) +
        "Unable to open config file at \"PATH\" (errno: 2:No such file or directory). Aborting.\n"}},
      {"empty file while rules serve", "", true, false, {std::string(kKept) + "the file holds no rule\n"}},
      {"only comments while rules serve", "# { Match all } Halt;\n", true, false,
       {std::string(kKept) + "the file holds no rule\n"}},
      {"a directory while rules serve", "DIR", true, false, {std::string(kKept) + "the file holds no rule\n"}},
      {"empty file while none serve", "", false, true, {"<time> Quorvane: Rule file \"PATH\" reloaded: 0 rules.\n"}},
      {"connector warning: loads, warned", "{ From is x ] Halt;\n{ From is y ] Halt;\n", true, true,
       {"<time> Quorvane(reload): WARNING - Rule file \"PATH\": Parsing error - expected o, a or ), found \"]\"\n",
        "<time> Quorvane(reload): WARNING - Rule file \"PATH\": Parsing error - expected o, a or ), found \"]\"\n",
        "<time> Quorvane: Rule file \"PATH\" reloaded: 2 rules.\n"}},
      {"connector warning before an error: the error alone", "{ From is x Store In y;", true, false,
       {std::string(kKept) + "Parsing error - expected at least one action\n"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir / "rules.conf";
    if (c.text != nullptr && std::string(c.text) == "DIR")
      mkdir(path.c_str(), 0700);
    else if (c.text != nullptr)
      std::ofstream(path, std::ios::binary) << c.text;
    TestFilter rules;
    if (c.serving) rules.add(single_term(FIELD_MATCH_ALL));
    const std::shared_ptr<const RuleSet> before = rules.filter.rules();
    ReloadStats stats;

    EXPECT_EQ(reload_rules(path.c_str(), rules.filter, stats), c.want_replaced);
    std::vector<std::string> want;
    for (const std::string &line : c.want_lines) want.push_back(with_path(line, path));
    EXPECT_EQ(rules.lines(), want);
    EXPECT_EQ(rules.filter.rules() != before, c.want_replaced);
    EXPECT_EQ(stats.succeeded, c.want_replaced ? 1u : 0u);
    EXPECT_EQ(stats.failed, c.want_replaced ? 0u : 1u);
    EXPECT_EQ(stats.loaded_at != 0, c.want_replaced);
  }
}

}  // namespace
