#!/usr/bin/perl
# record_check.pl FILE SENDER REST [SENDER REST ...]
#
# Checks that FILE holds exactly the given mailbox records, in order and
# nothing else: each is "From <SENDER>  ", a ctime date no earlier than
# $E2E_T0 (seconds since the epoch, if set) and not in the future, a newline,
# then exactly the bytes of the file REST (headers, blank line, body and the
# two closing newlines). Prints the first difference and exits 1 on mismatch.
use strict;
use warnings;

sub slurp {
  my ($path) = @_;
  open(my $in, '<:raw', $path) or die "$path: $!\n";
  local $/;
  my $bytes = <$in>;
  return $bytes // '';
}

sub show {
  my ($text) = @_;
  $text =~ s/([^\x20-\x7e])/sprintf('\\x%02x', ord $1)/ge;
  return $text;
}

my %month = (Jan => 0, Feb => 1, Mar => 2, Apr => 3, May => 4, Jun => 5,
             Jul => 6, Aug => 7, Sep => 8, Oct => 9, Nov => 10, Dec => 11);

sub epoch_of_ctime {
  my ($day, $mon, $mday, $h, $m, $s, $year) = @_;
  require POSIX;
  return POSIX::mktime($s, $m, $h, $mday, $month{$mon}, $year - 1900, 0, 0, -1);
}

my ($path, @expected) = @ARGV;
die "usage: record_check.pl FILE SENDER REST...\n" unless defined $path && @expected && @expected % 2 == 0;
my $file = slurp($path);
my $at = 0;
my $n = 0;
while (@expected) {
  my ($sender, $rest_path) = splice(@expected, 0, 2);
  $n++;
  my $head = substr($file, $at, 200);
  my $from = "From <$sender>  ";
  if (substr($head, 0, length $from) ne $from) {
    print "record $n at byte $at: want '", show($from), "', have '", show(substr($head, 0, 60)), "'\n";
    exit 1;
  }
  my $date = substr($head, length $from, 25);
  unless ($date =~ /^(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) ([ 1-3]\d) (\d\d):(\d\d):(\d\d) (\d{4})\n$/) {
    print "record $n: date is not a ctime text: '", show($date), "'\n";
    exit 1;
  }
  my $when = epoch_of_ctime($1, $2, $3 + 0, $4, $5, $6, $7);
  if (($ENV{E2E_T0} && $when < $ENV{E2E_T0} - 1) || $when > time + 1) {
    print "record $n: date '", show($date), "' is outside the test's run\n";
    exit 1;
  }
  $at += length($from) + 25;
  my $rest = slurp($rest_path);
  my $have = substr($file, $at, length $rest);
  if ($have ne $rest) {
    my $i = 0;
    $i++ while $i < length($rest) && substr($have, $i, 1) eq substr($rest, $i, 1);
    my $from_i = $i > 30 ? $i - 30 : 0;
    print "record $n differs at byte ", $at + $i, ":\n  want '", show(substr($rest, $from_i, 60)),
      "'\n  have '", show(substr($have, $from_i, 60)), "'\n";
    exit 1;
  }
  $at += length $rest;
}
if ($at != length $file) {
  print "file has ", length($file) - $at, " bytes after the last record: '", show(substr($file, $at, 60)), "'\n";
  exit 1;
}
exit 0;
