#!/usr/bin/perl
# Checks a mailbox the daemon wrote, strictly from its first byte: whole
# records one right after the other, nothing cut, nothing in between.
#
#   mbox_check.pl records <file> <sender> <rest> [<sender> <rest>...]
#   mbox_check.pl streams <mailbox>[,<mailbox>...] <streams> <count>
#                 [first-stream] [first-message] [scale]
#
# Every record is "From <sender>  ", a ctime date, a newline and the rest of
# the record (headers, blank line, body, two newlines). The date must be no
# earlier than $MBOX_NOT_BEFORE (seconds since the epoch, when set) and not
# in the future.
#
# records: <file> holds exactly these records in this order; each <rest> is
# a file with the exact bytes that follow the date line.
#
# streams: the mailboxes hold messages sent by tests/load/stream.lua:
# streams first-stream .. first-stream+streams-1 (default 1) each sent
# messages first-message .. first-message+count-1 (default 1) with that body
# scale (default 1). A record must have its stream's sender, exactly the
# three headers sent and exactly the body stream.lua generates for it. Each
# mailbox must be whole, every message must be there exactly once across
# all of them, and none may be unknown. A <count> of "any" accepts any
# subset of the messages (runs where some were refused), still each at most
# once.
#
# Prints "N records, M bytes" and exits 0, or prints the first fault with
# its offset on standard error and exits 1.
use strict;
use warnings;
use POSIX ();

my %month = (Jan => 0, Feb => 1, Mar => 2, Apr => 3, May => 4, Jun => 5,
             Jul => 6, Aug => 7, Sep => 8, Oct => 9, Nov => 10, Dec => 11);
my $ctime = qr/(?:Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) ([ 1-3][0-9]) ([0-9]{2}):([0-9]{2}):([0-9]{2}) ([0-9]{4})/;

my $records = 0;
my $bytes = 0;

sub fail { print STDERR @_, "\n"; exit 1; }

sub quote {
    my ($text) = @_;
    $text =~ s/([^\x20-\x7e])/sprintf('\\x%02x', ord $1)/ge;
    return "'$text'";
}

sub slurp {
    my ($path) = @_;
    open(my $in, '<:raw', $path) or fail("cannot open $path: $!");
    local $/;
    my $data = <$in>;
    return $data // '';
}

# Reads the From line of the record at pos($$data) and moves past it;
# returns the sender. `where` names the place for the messages.
sub from_line {
    my ($data, $where) = @_;
    my $at = pos($$data) // 0;
    $$data =~ /\GFrom <([^\n]*?)>  $ctime\n/gc
        or fail("$where, offset $at: no From line with a date: ", quote(substr($$data, $at, 80)));
    my ($sender, $mon, $mday, $h, $m, $s, $year) = ($1, $2, $3, $4, $5, $6, $7);
    my $when = POSIX::mktime($s, $m, $h, $mday + 0, $month{$mon}, $year - 1900, 0, 0, -1);
    fail("$where, offset $at: dated before the test began") if $ENV{MBOX_NOT_BEFORE} && $when < $ENV{MBOX_NOT_BEFORE} - 1;
    fail("$where, offset $at: dated in the future") if $when > time + 1;
    return $sender;
}

# Whether the bytes at pos($$data) are `want`; moves past them.
sub take {
    my ($data, $want) = @_;
    my $at = pos($$data);
    return 0 unless substr($$data, $at, length $want) eq $want;
    pos($$data) = $at + length $want;
    return 1;
}

sub check_records {
    my ($path, @expected) = @_;
    fail("usage: mbox_check.pl records <file> <sender> <rest>...") unless defined $path && @expected && @expected % 2 == 0;
    my $data = slurp($path);
    pos($data) = 0;
    my $n = 0;
    while (@expected) {
        my ($sender, $rest_path) = splice(@expected, 0, 2);
        $n++;
        my $at = pos($data);
        my $have = from_line(\$data, "$path, record $n");
        $have eq $sender or fail("$path, record $n at offset $at: sender ", quote($have), ", want ", quote($sender));
        my $rest = slurp($rest_path);
        my $start = pos($data);
        unless (take(\$data, $rest)) {
            my $i = 0;
            $i++ while $i < length($rest) && substr($data, $start + $i, 1) eq substr($rest, $i, 1);
            my $from = $i > 30 ? $i - 30 : 0;
            fail("$path, record $n differs at offset ", $start + $i, ":\n  want ", quote(substr($rest, $from, 60)),
                 "\n  have ", quote(substr($data, $start + $from, 60)));
        }
        ++$records;
    }
    my $left = length($data) - pos($data);
    fail("$path has $left bytes after the last record: ", quote(substr($data, pos($data), 60))) if $left;
    $bytes += length $data;
}

sub body_of {
    my ($s, $i, $scale) = @_;
    my $n = (($s * 31 + $i * 17) % 40 + 1) * $scale;
    my $body = '';
    $body .= "$s.$i line $_: " . ('x' x (($_ * 7) % 60)) . "\n" for 1 .. $n;
    return $body;
}

sub first_five { return @_[0 .. ($#_ < 4 ? $#_ : 4)]; }

sub check_streams {
    my ($paths, $streams, $count, $first_stream, $first_message, $scale) = @_;
    fail("usage: mbox_check.pl streams <mailbox> <streams> <count> [first-stream] [first-message] [scale]")
        unless defined $count;
    $first_stream //= 1;
    $first_message //= 1;
    $scale //= 1;
    my %seen;
    for my $file (split /,/, $paths) {
        my $data = slurp($file);
        pos($data) = 0;
        while (pos($data) < length $data) {
            my $at = pos($data);
            my $sender = from_line(\$data, $file);
            $sender =~ /^stream([0-9]+)\@load\.test$/ or fail("$file, offset $at: unknown sender ", quote($sender));
            my $s = $1;
            $data =~ /\GMessage-ID: <([0-9]+)\.([0-9]+)\@load\.test>\n/gc
                or fail("$file, offset $at: no Message-ID after the From line");
            my ($id_stream, $i) = ($1, $2);
            my $id = "$id_stream.$i";
            $id_stream == $s or fail("$file, offset $at: Message-ID $id under the sender of stream $s");
            take(\$data, "X-Seq: $id\nSubject: load message $id\n\n")
                or fail("$file, offset $at: headers of $id are not whole");
            my $body_at = pos($data);
            take(\$data, body_of($s, $i, $scale) . "\n\n")
                or fail("$file, offset $at: body of $id is not whole: ", quote(substr($data, $body_at, 80)));
            fail("$file, offset $at: $id stored twice") if $seen{$id}++;
            ++$records;
        }
        $bytes += length $data;
    }
    return if $count eq 'any';
    my @missing;
    for my $s ($first_stream .. $first_stream + $streams - 1) {
        for my $i ($first_message .. $first_message + $count - 1) {
            push @missing, "$s.$i" unless delete $seen{"$s.$i"};
        }
    }
    fail(scalar(@missing), " messages missing, e.g. ", join(' ', first_five(@missing))) if @missing;
    fail("unexpected messages: ", join(' ', first_five(sort keys %seen))) if %seen;
}

my $mode = shift @ARGV // '';
if ($mode eq 'records') {
    check_records(@ARGV);
} elsif ($mode eq 'streams') {
    check_streams(@ARGV);
} else {
    fail("usage: mbox_check.pl records|streams ...");
}
print "$records records, $bytes bytes\n";
