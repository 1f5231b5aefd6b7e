#!/usr/bin/perl
# Checks a mailbox written from the messages of stream.lua: every record must
# be whole and contiguous, and every expected message must be there exactly
# once.
#
#   mbox_check.pl <mailbox> <streams> <count> [first-stream] [first-message] [scale]
#
# Streams first-stream .. first-stream+streams-1 (default 1) each sent
# messages first-message .. first-message+count-1 (default 1), with the body
# scale given to stream.lua (default 1). The file is
# read strictly from its first byte: a From line with the stream's sender and
# a date, exactly the three headers sent, a blank line, exactly the body
# stream.lua generates for that message, and two newlines; the next record
# starts right after. Anything else (a cut record, interleaved bytes, a
# duplicate, a missing or unknown message) fails with its offset.
# Prints "N records, M bytes" on success.
#
# <mailbox> may be several files joined by commas: each must be whole, and no
# message may be in two of them. A <count> of "any" accepts any subset of
# the messages (for runs where some were refused), still each at most once.
use strict;
use warnings;

my ($path, $streams, $count, $first_stream, $first_message, $scale) = @ARGV;
die "usage: $0 <mailbox> <streams> <count> [first-stream] [first-message] [scale]\n" unless defined $count;
$first_stream //= 1;
$first_message //= 1;
$scale //= 1;

sub body_of {
    my ($s, $i) = @_;
    my $n = (($s * 31 + $i * 17) % 40 + 1) * $scale;
    my $body = '';
    $body .= "$s.$i line $_: " . ('x' x (($_ * 7) % 60)) . "\n" for 1 .. $n;
    return $body;
}

my %seen;
my $records = 0;
my $bytes = 0;
my $date = qr/[A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}/;
check_file($_) for split /,/, $path;

sub check_file {
    my ($file) = @_;
    open(my $in, '<:raw', $file) or die "cannot open $file: $!\n";
    my $data = do { local $/; <$in> };
    close $in;
    my $pos = 0;
    my $length = length $data;
    $bytes += $length;
    while ($pos < $length) {
        pos($data) = $pos;
        $data =~ /\GFrom <stream([0-9]+)\@load\.test>  $date\n/gc
            or die "$file, offset $pos: no From line: " . quote(substr($data, $pos, 80)) . "\n";
        my $s = $1;
        $data =~ /\GMessage-ID: <([0-9]+)\.([0-9]+)\@load\.test>\n/gc
            or die "$file, offset $pos: no Message-ID after the From line\n";
        my ($id_stream, $i) = ($1, $2);
        my $id = "$id_stream.$i";
        $id_stream == $s or die "$file, offset $pos: Message-ID $id under the sender of stream $s\n";
        $data =~ /\GX-Seq: \Q$id\E\nSubject: load message \Q$id\E\n\n/gc
            or die "$file, offset $pos: headers of $id are not whole\n";
        my $body = body_of($s, $i) . "\n\n";
        my $at = pos($data);
        substr($data, $at, length $body) eq $body
            or die "$file, offset $pos: body of $id is not whole: " . quote(substr($data, $at, 80)) . "\n";
        die "$file, offset $pos: $id stored twice\n" if $seen{$id}++;
        $pos = $at + length $body;
        ++$records;
    }
}

if ($count eq 'any') {
    print "$records records, $bytes bytes\n";
    exit 0;
}
my @missing;
for my $s ($first_stream .. $first_stream + $streams - 1) {
    for my $i ($first_message .. $first_message + $count - 1) {
        push @missing, "$s.$i" unless delete $seen{"$s.$i"};
    }
}
die scalar(@missing) . " messages missing, e.g. " . join(' ', @missing[0 .. ($#missing < 4 ? $#missing : 4)]) . "\n"
  if @missing;
die "unexpected messages: " . join(' ', (sort keys %seen)[0 .. 4]) . "\n" if %seen;
print "$records records, $bytes bytes\n";

sub quote {
    my ($text) = @_;
    $text =~ s/([^\x20-\x7e])/sprintf('\\x%02x', ord $1)/ge;
    return "'$text'";
}
