#!/bin/sh
# Lints the manual pages and checks that each documents what it must: every
# option, exit status, message, keyword and placeholder, as the programs
# print or read them. Usage: manpages_check.sh MANDIR. Exit 77 (skip) when
# neither mandoc nor groff is installed.
set -u
mandir=$1
pages="quorvane.8 quorvane.rules.5 quorvane-test.1"
failures=0

if command -v mandoc >/dev/null 2>&1; then
  lint() { mandoc -Tlint -W warning "$1" 2>&1; }
  render() { mandoc -Tascii "$1" | sed 's/.\x08//g'; }
elif command -v groff >/dev/null 2>&1; then
  lint() { groff -ww -z -man "$1" 2>&1; }
  render() { groff -man -Tascii -rHY=0 -P-cbou "$1" 2>/dev/null; }
else
  echo "SKIP: neither mandoc nor groff is installed"
  exit 77
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

for page in $pages; do
  if [ ! -f "$mandir/$page" ]; then
    echo "FAIL: $page is missing"
    failures=$((failures + 1))
    continue
  fi
  report=$(lint "$mandir/$page")
  if [ -n "$report" ]; then
    echo "FAIL: $page is not lint clean:"
    echo "$report"
    failures=$((failures + 1))
  fi
  # One line, blanks collapsed, so that wrapped text reads as written.
  render "$mandir/$page" | tr -s ' \t\n' '   ' >"$scratch/$page.txt"
done

# PAGE<TAB>TEXT: TEXT must appear in the rendered PAGE.
while IFS='	' read -r page text; do
  case $page in '' | '#'*) continue ;; esac
  [ -f "$scratch/$page.txt" ] || continue
  if ! grep -qF -- "$text" "$scratch/$page.txt"; then
    echo "FAIL: $page does not show: $text"
    failures=$((failures + 1))
  fi
done <<'EOF'
# The daemon: options, usage, exit statuses.
quorvane.8	Usage: %s [-abdhnv] [-l logfile] [-m metrics_file] [-r pidfile] [-t timeout] [-T seconds] [-u username] -f config_file -p port
quorvane.8	-a A message whose processing failed
quorvane.8	-b Detach
quorvane.8	-d Do not remove
quorvane.8	-f config_file
quorvane.8	-h Print the usage line
quorvane.8	-l logfile
quorvane.8	-m metrics_file
quorvane.8	-n Load the rule file
quorvane.8	-p port
quorvane.8	-r pidfile
quorvane.8	-t timeout
quorvane.8	-T seconds Seconds a Pipe command may run (default 120; 0: no limit)
quorvane.8	-u username
quorvane.8	-v Verbose
quorvane.8	supplementary groups
quorvane.8	EXIT STATUS 0
quorvane.8	64 a usage error
quorvane.8	69 registration
quorvane.8	70 a system or library failure
quorvane.8	255 the milter library's main loop failed
# Start-up messages.
quorvane.8	You must be root to use the: -u option
quorvane.8	Missing argument to -u: username
quorvane.8	Unable to switch user to: %s - No such user
quorvane.8	Unable to switch uid/gid to: %s (errno: %d:%s)
quorvane.8	Missing required argument: -f
quorvane.8	Missing argument to -f: filename
quorvane.8	Missing argument to -t: timeout
quorvane.8	Unable to set timeout to: %s
quorvane.8	Missing argument to -T: seconds
quorvane.8	Invalid argument to -T: %s
quorvane.8	Unable to register with MTA
quorvane.8	Missing required argument: -p
quorvane.8	Missing argument to -p: port
quorvane.8	Unable to set port to: %s
quorvane.8	Unable to open port: %s
quorvane.8	Unable to open port: %s - Socket in use by a running filter
quorvane.8	Missing argument to -r: pidfile
quorvane.8	Unable to write pid to: %s (errno: %d:%s)
quorvane.8	Program is already running, pid: %s
quorvane.8	Program is already running, but pidfile was unreadable (errno: %d:%s)
quorvane.8	Error, pidfile "%s" is not a regular file (errno: %d:%s)
quorvane.8	Error, pidfile "%s" is a symbolic link
quorvane.8	Error, pidfile "%s" is not a regular file
quorvane.8	Error, pidfile "%s" has other hard links (links: %d)
quorvane.8	Unable to truncate pidfile: %s (errno: %d:%s)
quorvane.8	Unable to fstat pid file: %s (errno: %d:%s)
quorvane.8	Missing argument to -l: logfile
quorvane.8	Unable to open log file: %s (errno: %d:%s)
quorvane.8	Unable to daemonise process. (errno: %d:%s)
quorvane.8	Missing argument to -m: metrics_file
quorvane.8	Unable to start the reload thread (errno: %d:%s)
# Log lines and warnings.
quorvane.8	%s Quorvane: Started. Logging to file enabled.
quorvane.8	%s Quorvane: Stopped.
quorvane.8	%s Quorvane: Exiting with error, this usually means there was a problem with the socket (errno: %d:%s)
quorvane.8	%s Quorvane: Unable to remove pidfile "%s" on exit (errno: %d:%s)
quorvane.8	%s Quorvane: Aborting removal of pidfile "%s" on exit, file has been changed
quorvane.8	%s Quorvane: Unable to remove lock on pidfile "%s" on exit (errno: %d:%s)
quorvane.8	%s Quorvane: Unable to close pidfile "%s" on exit (errno: %d:%s)
quorvane.8	%s Quorvane(%s): ERROR - Could not allocate memory for %s. \t\t\t\t\tperhaps system or process memory limits have been reached? policy.
quorvane.8	%s Quorvane(%s): ERROR - Private data was not found \t\t\t\t\tdurining policy. This should never happen!
quorvane.8	Mail accepted despite error
quorvane.8	Mail returned to sender
quorvane.8	ERROR - Could not open file '%s'. (errno: %d:%s). policy.
quorvane.8	ERROR - Could not get write lock on '%s'. (errno: %d:%s). policy.
quorvane.8	ERROR - Could not connect stream to FD. (errno: %d:%s). policy.
quorvane.8	ERROR - Could not write to file '%s'. (errno: %d:%s). policy.
quorvane.8	%s Quorvane(ActionPipe): ERROR - Could not open program '%s'. (errno: %d:%s). policy.
quorvane.8	%s Quorvane(ActionPipe): ERROR - Failure executing program '%s'. (errno: %d:%s). policy.
quorvane.8	%s Quorvane(ActionPipe): ERROR - Program '%s' ended after the time limit of %d s. (errno: %d:%s). policy.
quorvane.8	%s Quorvane(ActionMaildir): ERROR - Could not deliver to maildir '%s': %s. (errno: %d:%s). policy.
quorvane.8	create, write, sync or link
quorvane.8	%s Quorvane(PrintMail): WARNING - Message contains no headers. (errno: %d:%s).
quorvane.8	Quorvane(mlfi_header): WARNING - Header name is not set, ignoring this header.
quorvane.8	WARNING: the config file includes Add Headers actions, but the MTA **does not support** adding headers!! Add Headers actions will be ignored!
quorvane.8	WARNING: the config file includes Add Recipient actions, but the MTA **does not support** adding recipients!! Add Recipient actions will be ignored!
quorvane.8	Warning - line %d: text A rule that loads but cannot do what it says
quorvane.8	write its warnings (-n, -v)
quorvane.8	private data
quorvane.8	SMTP sender
quorvane.8	sender address
quorvane.8	recipient structure
quorvane.8	recipient address
quorvane.8	header structure
quorvane.8	header name
quorvane.8	header value
quorvane.8	body structure
quorvane.8	body data
quorvane.8	expanded template
quorvane.8	file lock
# Reloads and the metrics file.
quorvane.8	SIGUSR1 makes the daemon read its rule file again
quorvane.8	systemctl reload quorvane
quorvane.8	Check a changed file with quorvane -n
quorvane.8	%s Quorvane: Rule file "%s" reloaded: %d rules.
quorvane.8	%s Quorvane(reload): WARNING - Rule file "%s" not loaded, the rules in use are kept: %s
quorvane.8	the file holds no rule
quorvane.8	%s Quorvane(reload): WARNING - Rule file "%s": %s
quorvane.8	%s Quorvane(metrics): WARNING - Could not write metrics file '%s'. (errno: %d:%s).
quorvane.8	every 15 seconds
quorvane.8	quorvane_build_info{version}
quorvane.8	quorvane_messages_total
quorvane.8	quorvane_messages_failed_total{verdict}
quorvane.8	quorvane_rules
quorvane.8	quorvane_rules_loaded_timestamp_seconds
quorvane.8	quorvane_rule_matches_total{rule,line}
quorvane.8	quorvane_actions_total{kind,result}
quorvane.8	quorvane_action_duration_seconds_sum{kind}
quorvane.8	quorvane_action_duration_seconds_count{kind}
quorvane.8	quorvane_reloads_total{result}
# The trace.
quorvane.8	Quorvane Version 1.2 started. Running with verbose level 1.
quorvane.8	- Compiled with libmilter v1.0.1, running with v1.0.1
quorvane.8	"Action: Store In 'text' "
quorvane.8	"Action: Maildir 'text' "
quorvane.8	"Action: Pipe 'text' "
quorvane.8	"Action: Add Header 'text' "
quorvane.8	"Each matched to address:"
quorvane.8	"- Success. "
quorvane.8	"- Failed. "
quorvane.8	"Halting."
quorvane.8	"[no data] "
quorvane.8	"not matched by a previous rule "
quorvane.8	"match all [true]"
quorvane.8	for a Header test, the field name as the rule writes it
quorvane.8	for a Size test, "size "
quorvane.8	matches, regex,
quorvane.8	"Adding recipient "
quorvane.8	"Adding headers NOT supported by MTA - Ignoring action "
# The rule file: keywords, placeholders, messages.
quorvane.rules.5	Match all
quorvane.rules.5	Not matched
quorvane.rules.5	Store In path
quorvane.rules.5	Maildir path
quorvane.rules.5	Pipe command
quorvane.rules.5	Add Header name:value
quorvane.rules.5	Halt After
quorvane.rules.5	Contains The pattern
quorvane.rules.5	Ends The value
quorvane.rules.5	Is The value
quorvane.rules.5	Starts The value
quorvane.rules.5	Sender operator pattern
quorvane.rules.5	From operator pattern
quorvane.rules.5	To operator pattern
quorvane.rules.5	Header name operator pattern
quorvane.rules.5	Size Over size
quorvane.rules.5	Size Under size
quorvane.rules.5	Matches The pattern, a wildcard pattern
quorvane.rules.5	Regex The pattern is a regular expression
quorvane.rules.5	is written "\\S"
quorvane.rules.5	%YEAR% the year of the message time
quorvane.rules.5	%MONTH% its month
quorvane.rules.5	%DAY% its day of the month
quorvane.rules.5	%SENDER% the SMTP user
quorvane.rules.5	%SENDER.USER%
quorvane.rules.5	%SENDER.DOMAIN%
quorvane.rules.5	%FROM% the envelope sender
quorvane.rules.5	%FROM.USER%
quorvane.rules.5	%FROM.DOMAIN%
quorvane.rules.5	%TO% the first recipient
quorvane.rules.5	%TO.USER%
quorvane.rules.5	%TO.DOMAIN%
quorvane.rules.5	%ALLTO% each selected recipient
quorvane.rules.5	%ALLTO.USER%
quorvane.rules.5	%ALLTO.DOMAIN%
quorvane.rules.5	%% nothing
quorvane.rules.5	Unable to open config file at "%s" (errno: %d:%s). Aborting.
quorvane.rules.5	Parsing error - unexpected character: '%c'
quorvane.rules.5	Parsing error - unexpected End of File
quorvane.rules.5	Parsing error - unexpected character %c
quorvane.rules.5	Parsing error - expected From
quorvane.rules.5	Parsing error - expected Match All
quorvane.rules.5	Parsing error - expected Not Matched
quorvane.rules.5	Parsing error - expected Sender
quorvane.rules.5	Parsing error - expected To
quorvane.rules.5	Parsing error - expected Header
quorvane.rules.5	Parsing error - expected Size
quorvane.rules.5	Parsing error - expected AND
quorvane.rules.5	Parsing error - expected OR
quorvane.rules.5	Parsing error - expected o, a or ), found "%c"
quorvane.rules.5	Parsing error; expected "Contains"
quorvane.rules.5	Parsing error; expected "Ends"
quorvane.rules.5	Parsing error; expected "Is"
quorvane.rules.5	Parsing error; expected "Starts"
quorvane.rules.5	Parsing error; expected "Matches"
quorvane.rules.5	Parsing error; expected "Regex"
quorvane.rules.5	Parsing error; expected "Over"
quorvane.rules.5	Parsing error; expected "Under"
quorvane.rules.5	Parsing error; expected "Over" or "Under"
quorvane.rules.5	Parsing error; expected a field location
quorvane.rules.5	Parsing error - invalid header name "%s"
quorvane.rules.5	Parsing error - expected a size, found "%s"
quorvane.rules.5	Parsing error - unclosed [ in wildcard pattern "%s"
quorvane.rules.5	Parsing error - invalid regular expression "%s": %s
quorvane.rules.5	Unexpected end-of-file while trying to parse string.
quorvane.rules.5	Buffer overflow! Perhaps the configuration file is missing a closing quote?
quorvane.rules.5	Parsing error - expected Add Header
quorvane.rules.5	Parsing error - expected Halt
quorvane.rules.5	Parsing error - expected Pipe
quorvane.rules.5	Parsing error - expected Store In
quorvane.rules.5	Parsing error - line %d: expected Create or Envelope after With, found "%s"
quorvane.rules.5	Parsing error - line %d: expected Envelope after With, found "%s"
quorvane.rules.5	Parsing error - expected at least one action
quorvane.rules.5	Parsing error - expected , or ; Be aware that the config file format now requires rules to end in ";", so your config file may be out of date
quorvane.rules.5	Parsing error - conditions nested too deeply
quorvane.rules.5	Unable to allocate memory while reading the config file.
# Rule-file warnings.
quorvane.rules.5	Warning - line %d: %s is always empty, the rule has no To test
quorvane.rules.5	Warning - line %d: %s is always empty, the rule's To tests select no recipient when it matches
quorvane.rules.5	Warning - line %d: %s is always empty, the rule has no Regex or Matches test that captures
quorvane.rules.5	Warning - line %d: %s is always empty, the rule's Regex and Matches tests capture at most %ld
quorvane.rules.5	Warning - line %d: Store In path ends in "/" and names a directory
quorvane.rules.5	Warning - line %d: Store In path names a directory when %s is empty
quorvane.rules.5	Warning - line %d: Maildir path ends in "/", the action always fails
quorvane.rules.5	Warning - line %d: Maildir path ends in "/" when %s is empty, the action then fails
quorvane.rules.5	Warning - line %d: %s path has a name that starts with %s, the action fails when it is empty
quorvane.rules.5	Warning - line %d: rule is never reached, the rule at line %d always matches and halts
quorvane.rules.5	Warning - line %d: Add Header text has no ":", the whole text is taken as the header name
quorvane.rules.5	"SMTP Sender "
quorvane.rules.5	"From Address "
quorvane.rules.5	"To Address "
quorvane.rules.5	"Header "
quorvane.rules.5	"Address "
quorvane.rules.5	"Message Size "
quorvane.rules.5	"matches wildcard "
quorvane.rules.5	"matches regex "
quorvane.rules.5	"is over "
quorvane.rules.5	"is under "
quorvane.rules.5	" bytes"
quorvane.rules.5	"No Rule has been matched yet "
quorvane.rules.5	"[Always True] "
quorvane.rules.5	"[Undefined Field] "
quorvane.rules.5	"starts with "
quorvane.rules.5	"ends with "
quorvane.rules.5	"contains "
quorvane.rules.5	"is operated on in some way by "
# The tester.
quorvane-test.1	Usage: %s [-v] -f rules [--from address] [--to address]... [--auth user] [--run] [message|-]
quorvane-test.1	Only one message may be given.
quorvane-test.1	Unable to open message file "%s" (errno: %d:%s).
quorvane-test.1	Unable to read message file "%s" (errno: %d:%s).
quorvane-test.1	Unable to allocate memory for the message.
quorvane-test.1	--from address
quorvane-test.1	--to address
quorvane-test.1	--auth user
quorvane-test.1	--run
quorvane-test.1	Maildir 'path'
quorvane-test.1	rule N: matched
quorvane-test.1	rule N: not matched
quorvane-test.1	(no header name: nothing is added)
quorvane-test.1	Warning - line %d: text
EOF

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "manual pages: lint clean, all documented"
