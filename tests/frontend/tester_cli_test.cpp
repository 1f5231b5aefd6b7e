// quorvane-test, run as a program: what it shows for saved messages, the
// daemon's condition trace, that a dry run writes nothing, that --run writes
// the daemon's mailbox record, and its command-line errors.
#include <algorithm>
#include <cctype>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/process.h"

namespace {

const std::string kTester = QUORVANE_TEST_BINARY;

// Runs quorvane-test with `args`, standard input from `input_path` (or
// /dev/null).
Result run_tester(const std::vector<std::string> &args, const std::string &input_path = "") {
  Launch launch;
  launch.stdin_path = input_path;
  return run_program(kTester, args, launch);
}

template <class Case> std::string case_name(const ::testing::TestParamInfo<Case> &param) {
  return param.param.name;
}

// A message as a client would submit it, with CR LF line ends.
const std::string kMessage =
    "Return-Path: <Ann@Example.ORG>\r\n"
    "From: \"Box, Ann\" <ann@example.org>\r\n"
    "To: Bob <bob@example.org>, dave@other.test (Dave)\r\n"
    "Cc: friends:;, \"c y\"@example.org, <@relay.test:Eve@Example.org>\r\n"
    "Subject: hello\r\n"
    "\tworld\r\n"
    "X-NoSpace:value\r\n"
    "X-Empty:\r\n"
    "\r\n"
    "first line\r\n"
    "From the start\n"
    "last line without a break";

struct ShowCase {
  const char *name;
  std::string rules;
  std::vector<std::string> options;  // before "-f rules message"
  std::string want_out;
  int want_status;
  std::string want_err = "";  // the rule file's warnings
};

class TesterShows : public ::testing::TestWithParam<ShowCase> {};

// `line` is `head`, a ctime date ("Thu Jan  1 00:00:00 1970") and a newline.
bool is_from_line(const std::string &line, const std::string &head) {
  if (line.size() != head.size() + 25 || line.compare(0, head.size(), head) != 0) return false;
  const std::string shape = "Aaa Aaa _9 99:99:99 9999\n";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    const unsigned char ch = static_cast<unsigned char>(line[head.size() + i]);
    const bool ok = shape[i] == 'A'   ? std::isupper(ch) != 0
                    : shape[i] == 'a' ? std::islower(ch) != 0
                    : shape[i] == '9' ? std::isdigit(ch) != 0
                    : shape[i] == '_' ? (ch == ' ' || (ch >= '1' && ch <= '3'))
                                      : ch == static_cast<unsigned char>(shape[i]);
    if (!ok) return false;
  }
  return true;
}

TEST_P(TesterShows, PrintsEnvelopeRulesAndActions) {
  const ShowCase &c = GetParam();
  TempDir dir;
  write_file(dir / "rules", c.rules);
  write_file(dir / "message", kMessage);
  std::vector<std::string> args = c.options;
  for (const char *arg : {"-f", "rules", "message"})
    args.push_back(arg == std::string("rules") ? dir / "rules" : arg == std::string("message") ? dir / "message" : arg);
  const Result run = run_tester(args);
  EXPECT_EQ(run.out, c.want_out);
  EXPECT_EQ(run.err, c.want_err);
  EXPECT_EQ(run.status, c.want_status);
  // A dry run creates nothing: the scratch directory still holds only the
  // two input files.
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"message", "rules"}));
}

const char kHeaderEnvelope[] =
    "from 'ann@example.org'\n"
    "to 'bob@example.org'\n"
    "to 'dave@other.test'\n"
    "to '\"c y\"@example.org'\n"
    "to 'eve@example.org'\n"
    "auth (none)\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, TesterShows,
    ::testing::Values(
        ShowCase{"EnvelopeFromHeaders", "{ Match all } Halt;", {},
                 std::string(kHeaderEnvelope) + "rule 1: matched\n  Halt\n", 0},
        ShowCase{"EnvelopeFromOptions",
                 "{ Sender is Ann } Store In /srv/%SENDER%/%FROM.DOMAIN%/%TO%;",
                 {"--from", "<Zed@Z.Test>", "--to", "<One@A.Test>", "--to", "two@b.test", "--auth", "Ann"},
                 "from 'zed@z.test'\nto 'one@a.test'\nto 'two@b.test'\nauth 'Ann'\n"
                 "rule 1: matched\n  Store In '/srv/Ann/z.test/'\n",
                 0,
                 "Warning - line 1: %TO% is always empty, the rule has no To test\n"
                 "Warning - line 1: Store In path has a name that starts with %FROM.DOMAIN%, the action fails when it "
                 "is empty\n"
                 "Warning - line 1: Store In path names a directory when %TO% is empty\n"},
        ShowCase{"FromHeaderWhenNoReturnPath", "{ Match all } Halt;", {"--to", "x@y"},
                 "from 'ann@example.org'\nto 'x@y'\nauth (none)\nrule 1: matched\n  Halt\n", 0},
        ShowCase{"NullSender", "{ From is \"\" } Store In \"/srv/[%FROM%]\";", {"--from", "<>", "--to", "x@y"},
                 "from ''\nto 'x@y'\nauth (none)\nrule 1: matched\n  Store In '/srv/[]'\n", 0},
        // Each selected recipient gets its own expansion, the first one
        // stands for %TO%, and values are made safe for where they land.
        ShowCase{"PerRecipientAndInsertModes",
                 "{ To ends \"@example.org\" } Store In \"/srv/%ALLTO.USER%\", "
                 "Pipe \"deliver %ALLTO% %TO%\", Add Header \"X-To: %ALLTO%\";",
                 {},
                 std::string(kHeaderEnvelope) +
                     "rule 1: matched\n"
                     "  Store In '/srv/bob'\n  Store In '/srv/\"c y\"'\n  Store In '/srv/eve'\n"
                     "  Pipe 'deliver bob@example.org bob@example.org'\n"
                     "  Pipe 'deliver _c_y_@example.org bob@example.org'\n"
                     "  Pipe 'deliver eve@example.org bob@example.org'\n"
                     "  Add Header 'X-To: bob@example.org' (name 'X-To', value ' bob@example.org')\n"
                     "  Add Header 'X-To: \"c y\"@example.org' (name 'X-To', value ' \"c y\"@example.org')\n"
                     "  Add Header 'X-To: eve@example.org' (name 'X-To', value ' eve@example.org')\n",
                 0},
        ShowCase{"AddRecipientAndWithEnvelope",
                 "{ To is bob@example.org } Add Recipient \"%ALLTO.USER%+j@a.test\", Add Recipient \"%SENDER%\", "
                 "Maildir /srv/j With Envelope, Pipe \"cat\" with envelope, Store In /srv/x with envelope and create;",
                 {},
                 std::string(kHeaderEnvelope) +
                     "rule 1: matched\n"
                     "  Add Recipient 'bob+j@a.test' (would add recipient 'bob+j@a.test')\n"
                     "  Add Recipient '' (empty: nothing is added)\n"
                     "  Maildir '/srv/j' (with envelope)\n  Pipe 'cat' (with envelope)\n"
                     "  Store In '/srv/x' (with create and envelope)\n",
                 0},
        ShowCase{"Captures",
                 "{ Header Subject regex \"^(h)(.*)\" } Pipe \"x %1% %2%\", Store In \"/srv/%2.USER%\";", {},
                 std::string(kHeaderEnvelope) + "rule 1: matched\n  Pipe 'x h ello_world'\n  Store In '/srv/ello\tworld'\n",
                 0},
        ShowCase{"HostileValues", "{ Match all } Store In \"/srv/%FROM.USER%\", Pipe \"deliver %FROM%\";",
                 {"--from", "../etc/x;rm -rf $HOME@evil", "--to", "x@y"},
                 "from '../etc/x;rm -rf $home@evil'\nto 'x@y'\nauth (none)\nrule 1: matched\n"
                 "  Store In '/srv/_._etc_x;rm -rf $home'\n"
                 "  Pipe 'deliver .._etc_x_rm_-rf__home@evil'\n",
                 0, "Warning - line 1: Store In path names a directory when %FROM.USER% is empty\n"},
        ShowCase{"NoRecipientSelectedExpandsOnce", "{ Match all } Store In \"/srv/x%ALLTO%y\";", {"--to", "a@b"},
                 "from 'ann@example.org'\nto 'a@b'\nauth (none)\nrule 1: matched\n  Store In '/srv/xy'\n", 0,
                 "Warning - line 1: %ALLTO% is always empty, the rule has no To test\n"},
        ShowCase{"AddHeaderSplits",
                 "{ Match all } Add Header \"CC:boss@x.test\", Add Header Plain, Add Header \"::\", "
                 "Add Header \"Bcc:\";",
                 {"--to", "a@b"},
                 "from 'ann@example.org'\nto 'a@b'\nauth (none)\nrule 1: matched\n"
                 "  Add Header 'CC:boss@x.test' (name 'CC', value 'boss@x.test', recipient 'boss@x.test')\n"
                 "  Add Header 'Plain' (name 'Plain', value '')\n"
                 "  Add Header '::' (no header name: nothing is added)\n"
                 "  Add Header 'Bcc:' (name 'Bcc', value '')\n",
                 0, "Warning - line 1: Add Header text has no \":\", the whole text is taken as the header name\n"},
        // Halt ends the walk; Not matched sees the earlier match.
        ShowCase{"HaltAndNotMatched",
                 "{ To is nobody@x } Halt;\n{ Not matched } Store In /a;\n{ Not matched } Store In /b;\n"
                 "{ Match all } Halt;\n{ Match all } Store In /never;\n",
                 {"--to", "a@b"},
                 "from 'ann@example.org'\nto 'a@b'\nauth (none)\n"
                 "rule 1: not matched\nrule 2: matched\n  Store In '/a'\nrule 3: not matched\n"
                 "rule 4: matched\n  Halt\n",
                 0, "Warning - line 5: rule is never reached, the rule at line 4 always matches and halts\n"},
        ShowCase{"NoRules", "# nothing here\n", {"--to", "a@b"},
                 "from 'ann@example.org'\nto 'a@b'\nauth (none)\n", 0},
        // Header tests: the name in any case; the value unfolded, trimmed and
        // lower-cased; no such field gives no value.
        ShowCase{"HeaderTests",
                 "{ Header subject is \"HELLO\tWORLD\" } Store In /srv/1;\n"
                 "{ Header \"X-NOSPACE\" Matches \"v?l*\" and Header X-Empty is \"\" } Store In /srv/2;\n"
                 "{ Header X-Missing !contains x and Header X-Missing contains \"\" } Store In /srv/3;\n"
                 "{ Header X-Missing is \"\" or Header X-Missing starts x } Store In /srv/never;\n"
                 "{ Header Cc Regex \"EVE@example\\\\.ORG>$\" } Store In /srv/4;\n"
                 "{ Header Return-Path ends \"example.org\" } Store In /srv/never;\n",
                 {"--to", "a@b"},
                 "from 'ann@example.org'\nto 'a@b'\nauth (none)\n"
                 "rule 1: matched\n  Store In '/srv/1'\nrule 2: matched\n  Store In '/srv/2'\n"
                 "rule 3: matched\n  Store In '/srv/3'\nrule 4: matched\n  Store In '/srv/never'\n"
                 "rule 5: matched\n  Store In '/srv/4'\nrule 6: not matched\n",
                 0},
        // The size of kMessage as the record holds it, less its From line and
        // final newlines, is 285 bytes.
        ShowCase{"SizeTests",
                 "{ Size over 285 or Size under 285 } Store In /srv/never;\n"
                 "{ Size over 284 and Size under 286 and Size !over 285 } Store In /srv/exact;\n"
                 "{ Size under 1k and Size Under 1K and ! Size over 1M and Size under 1g } Store In /srv/small;\n",
                 {"--to", "a@b"},
                 "from 'ann@example.org'\nto 'a@b'\nauth (none)\n"
                 "rule 1: not matched\nrule 2: matched\n  Store In '/srv/exact'\n"
                 "rule 3: matched\n  Store In '/srv/small'\n",
                 0}),
    case_name<ShowCase>);

// The date placeholders give the message time in local time: the day the
// tester runs (read before and after, should the run span midnight).
TEST(TesterDate, PlaceholdersGiveTheMessageDay) {
  auto today = [] {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m/%d", &local);
    return std::string(text);
  };
  TempDir dir;
  write_file(dir / "rules", "{ Match all } Store In \"/srv/%YEAR%-%MONTH%/%DAY%\", Pipe \"x %YEAR%%MONTH%\";");
  write_file(dir / "message", kMessage);
  const std::string before = today();
  const Result run = run_tester({"-f", dir / "rules", "--to", "a@b", dir / "message"});
  const std::string after = today();
  const std::string head = "from 'ann@example.org'\nto 'a@b'\nauth (none)\nrule 1: matched\n";
  auto shown = [&](const std::string &day) {
    return head + "  Store In '/srv/" + day + "'\n  Pipe 'x " + day.substr(0, 4) + day.substr(5, 2) + "'\n";
  };
  EXPECT_TRUE(run.out == shown(before) || run.out == shown(after)) << run.out;
  EXPECT_EQ(run.status, 0);
}

// The condition trace is the daemon's, byte for byte: for the sender ann,
// recipients bob and cy, and "From contains an and ! To is cy"; a value
// shorter than its pattern shows no operator.
TEST(TesterTrace, PrintsTheDaemonsConditionTrace) {
  TempDir dir;
  write_file(dir / "rules",
             "{ From contains an and ! To is cy } Store In /x;\n"
             "{ Sender is ann or To is bob } Store In \"/y/%ALLTO%\";\n"
             "{ Not matched } Halt;\n");
  write_file(dir / "message", "Subject: s\n\nbody\n");
  const Result run =
      run_tester({"-v", "-f", dir / "rules", "--from", "<Ann>", "--to", "bob", "--to", "cy", dir / "message"});
  EXPECT_EQ(run.out,
            "from 'ann'\nto 'bob'\nto 'cy'\nauth (none)\n"
            "(\"ann\" contains \"an\" [true](!(\"bob\" is \"cy\" [false], \"cy\" is \"cy\" [true]) [false] ))\n"
            "rule 1: not matched\n"
            "([no data] is \"ann\" [false](\"bob\" is \"bob\" [true], \"cy\" \"bob\" [false], ))\n"
            "rule 2: matched\n  Store In '/y/bob'\n"
            "(not matched by a previous rule [false])\n"
            "rule 3: not matched\n");
  EXPECT_EQ(run.status, 0);
}

// The new forms in the trace: a header test names its field as the rule
// writes it, then each value tested up to the first that satisfies it; a
// size test shows the size and the limit in bytes.
TEST(TesterTrace, ShowsHeaderSizeAndPatternTests) {
  TempDir dir;
  write_file(dir / "rules",
        "{ Header received contains \"BY B\" and Size !over 1K } Store In /x;\n"
        "{ Header X-None !matches \"*\" and From regex \"^A\" } Halt;\n");
  write_file(dir / "message", "Received: from a\n  by a\nReceived:  from b\r\n\tby b \nSubject: s\n\nbody\n");
  const Result run =
      run_tester({"-v", "-f", dir / "rules", "--from", "<Ann>", "--to", "bob", dir / "message"});
  EXPECT_EQ(run.out,
            "from 'ann'\nto 'bob'\nauth (none)\n"
            "(received: \"from a  by a\" contains \"by b\" [false], \"from b\tby b\" contains \"by b\" [true]"
            "(size 67 !over 1024 [true]))\n"
            "rule 1: matched\n  Store In '/x'\n"
            "(X-None: [no data] matches \"*\" [true](\"ann\" regex \"^A\" [true]))\n"
            "rule 2: matched\n  Halt\n");
  EXPECT_EQ(run.status, 0);
}

// RE2 matches in time linear in the value: the expression "(a*)*b", which
// takes a backtracking matcher exponential time, against a 100 KB header
// value ends at once. The bound (run_program gives up after 30 s) only
// catches a hang.
TEST(TesterRegex, PathologicalExpressionOnALongValueEnds) {
  TempDir dir;
  write_file(dir / "rules",
             "{ Header X-Long regex \"(a*)*b\" } Store In /never;\n{ Header X-Long regex \"^a+$\" } Halt;\n");
  write_file(dir / "message", "X-Long: " + std::string(100 * 1024, 'a') + "\n\nbody\n");
  const Result run = run_tester({"-f", dir / "rules", "--from", "a@b", "--to", "c@d", dir / "message"});
  EXPECT_EQ(run.out, "from 'a@b'\nto 'c@d'\nauth (none)\nrule 1: not matched\nrule 2: matched\n  Halt\n");
  EXPECT_EQ(run.status, 0);
}

// --run appends the record the daemon writes: the From line, the headers as
// the MTA passes them (the space after the colon dropped and written back,
// folded lines kept), the blank line, the body with CR LF line ends and two
// newlines. Only the date differs from run to run.
TEST(TesterRun, StoreInAndPipeWriteTheDaemonsRecord) {
  TempDir dir;
  write_file(dir / "rules", "{ To is bob@example.org } Store In \"" + dir / "box-%TO.USER%" + "\", Pipe \"cat >" +
                                dir / "piped" +
                                "\", Add Header \"X-A: b\";\n"
                                "{ Match all } Pipe \"exit 3\";\n");
  write_file(dir / "message", kMessage);
  write_file(dir / "box-bob", "earlier\n");
  const Result run = run_tester({"--run", "-f", dir / "rules"}, dir / "message");  // standard input
  EXPECT_EQ(run.status, 1);  // the second rule's command failed
  EXPECT_NE(run.err.find(" Quorvane(ActionPipe): ERROR - Failure executing program 'exit 3'."), std::string::npos)
      << run.err;
  EXPECT_NE(run.out.find("  Store In '" + dir / "box-bob" + "'\n  - Success.\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("  Pipe 'exit 3'\n  - Failed.\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("  Add Header 'X-A: b' (name 'X-A', value ' b')\n"), std::string::npos) << run.out;

  const std::string rest =
      "Return-Path: <Ann@Example.ORG>\n"
      "From: \"Box, Ann\" <ann@example.org>\n"
      "To: Bob <bob@example.org>, dave@other.test (Dave)\n"
      "Cc: friends:;, \"c y\"@example.org, <@relay.test:Eve@Example.org>\n"
      "Subject: hello\n\tworld\n"
      "X-NoSpace: value\n"
      "X-Empty: \n"
      "\n"
      "first line\r\nFrom the start\r\nlast line without a break\r\n"
      "\n\n";
  const std::string box = read_file(dir / "box-bob");
  ASSERT_GT(box.size(), 8u);
  EXPECT_EQ(box.substr(0, 8), "earlier\n");
  const std::string record = box.substr(8);
  const std::size_t date_end = record.find('\n') + 1;
  EXPECT_TRUE(is_from_line(record.substr(0, date_end), "From <ann@example.org>  ")) << record.substr(0, date_end);
  EXPECT_EQ(record.substr(date_end), rest);
  EXPECT_EQ(read_file(dir / "piped"), record);  // one message time for every record
}

// --run delivers the Maildir file the daemon writes: the Return-Path line,
// the same headers, the body with LF line ends.
TEST(TesterRun, MaildirDeliversTheDaemonsFile) {
  TempDir dir;
  write_file(dir / "rules", "{ To is bob@example.org } Maildir \"" + dir / "md-%TO.USER%" + "\";\n");
  write_file(dir / "message", kMessage);
  const Result run = run_tester({"--run", "-f", dir / "rules", dir / "message"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("  Maildir '" + dir / "md-bob" + "'\n  - Success.\n"), std::string::npos) << run.out;
  const std::vector<std::string> files = TempDir::entries_of(dir / "md-bob/new");
  ASSERT_EQ(files.size(), 1u);
  const std::string file = read_file(dir / ("md-bob/new/" + files[0]));
  EXPECT_EQ(file.substr(0, file.find('\n') + 1), "Return-Path: <ann@example.org>\n");
  EXPECT_NE(file.find("\nX-Empty: \n\nfirst line\nFrom the start\nlast line without a break\n"), std::string::npos)
      << file;
  EXPECT_EQ(file.back(), '\n');
  EXPECT_EQ(file.find('\r'), std::string::npos);
}

struct UsageCase {
  const char *name;
  std::vector<std::string> args;  // "RULES" stands for a valid rule file
  int want_status;
  std::string want_err;
};

class TesterUsage : public ::testing::TestWithParam<UsageCase> {};

TEST_P(TesterUsage, ReportsAndExits) {
  const UsageCase &c = GetParam();
  TempDir dir;
  write_file(dir / "rules", "{ Match all } Halt;");
  std::vector<std::string> args;
  for (const std::string &arg : c.args) args.push_back(arg == "RULES" ? dir / "rules" : arg);
  const Result run = run_tester(args);
  EXPECT_EQ(run.status, c.want_status);
  std::string err = run.err;
  for (std::size_t at; (at = err.find(dir.path())) != std::string::npos;) err.replace(at, dir.path().size(), "DIR");
  EXPECT_EQ(err, c.want_err);
  EXPECT_EQ(run.out, "");
}

const std::string kUsage =
    "Usage: quorvane-test [-v] -f rules [--from address] [--to address]... [--auth user] [--run] [message|-]\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, TesterUsage,
    ::testing::Values(
        UsageCase{"NoRules", {}, 64, kUsage + "Missing required argument: -f\n"},
        UsageCase{"EmptyRules", {"-f", ""}, 64, kUsage + "Missing argument to -f: filename\n"},
        UsageCase{"Help", {"-h", "-f", "RULES"}, 64, kUsage},
        UsageCase{"TwoMessages", {"-f", "RULES", "a", "b"}, 64, kUsage + "Only one message may be given.\n"},
        UsageCase{"MissingRuleFile", {"-f", "DIR/none"}, 70,
                  "Unable to open config file at \"DIR/none\" (errno: 2:No such file or directory). Aborting.\n"},
        UsageCase{"MissingMessage", {"-f", "RULES", "DIR/none"}, 66,
                  "Unable to open message file \"DIR/none\" (errno: 2:No such file or directory).\n"}),
    case_name<UsageCase>);

// Rule-file errors are the daemon's, with its status.
TEST(TesterUsage, RuleFileErrorsAreTheDaemons) {
  TempDir dir;
  write_file(dir / "rules", "{ From is x ] Halt;\n{ Match all } Store In x\n");
  const Result run = run_tester({"-f", dir / "rules"});
  EXPECT_EQ(run.status, 70);
  EXPECT_EQ(run.err,
            "Parsing error - expected o, a or ), found \"]\"\n"
            "Parsing error - expected , or ;\nBe aware that the config file format now requires rules to end in "
            "\";\", so your config file may be out of date\n");
}

}  // namespace
