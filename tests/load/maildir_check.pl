#!/usr/bin/perl
# Checks Maildirs written from the messages of stream.lua: tmp/ must be
# empty, and every file in new/ must be one whole message, named as Maildir
# readers expect, and every expected message must be there exactly once.
#
#   maildir_check.pl <maildir> <streams> <count> [first-stream] [first-message] [scale]
#
# The arguments are those of mbox_check.pl. Each file of new/ must be named
# "<seconds>.M<microseconds>P<pid>Q<counter>.<host>,S=<size>" with <size> its
# length in bytes and mode 0600, and hold exactly "Return-Path: <sender>",
# the three headers sent, a blank line and the body stream.lua generates for
# that message, with nothing after it. Anything else (a cut file, a file
# left in tmp/, a duplicate, a missing or unknown message) fails naming the
# file. Prints "N messages, M bytes" on success.
#
# <maildir> may be several Maildirs joined by commas: no message may be in
# two of them. A <count> of "any" accepts any subset of the messages, still
# each at most once. A Maildir that does not exist counts as empty.
use strict;
use warnings;

my ($paths, $streams, $count, $first_stream, $first_message, $scale) = @ARGV;
die "usage: $0 <maildir> <streams> <count> [first-stream] [first-message] [scale]\n" unless defined $count;
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
my $messages = 0;
my $bytes = 0;
for my $maildir (split /,/, $paths) {
    next unless -e $maildir;
    for my $sub (qw(tmp new cur)) {
        -d "$maildir/$sub" or die "$maildir/$sub is missing\n";
    }
    my @left = names("$maildir/tmp");
    die scalar(@left) . " files left in $maildir/tmp, e.g. $left[0]\n" if @left;
    check_file($maildir, $_) for names("$maildir/new");
}

sub names {
    my ($dir) = @_;
    opendir(my $handle, $dir) or die "cannot read $dir: $!\n";
    my @names = grep { !/^\.\.?$/ } readdir $handle;
    closedir $handle;
    return @names;
}

sub check_file {
    my ($maildir, $name) = @_;
    my $file = "$maildir/new/$name";
    $name =~ /^[0-9]+\.M[0-9]{6}P[0-9]+Q[0-9]+\.[^\/:]+,S=([0-9]+)$/ or die "$file: not a Maildir name\n";
    my $size = $1;
    open(my $in, '<:raw', $file) or die "cannot open $file: $!\n";
    my $data = do { local $/; <$in> };
    close $in;
    length($data) == $size or die "$file: " . length($data) . " bytes, the name says $size\n";
    my $mode = (stat $file)[2] & 07777;
    $mode == 0600 or die sprintf("%s: mode %o\n", $file, $mode);
    $data =~ /\AReturn-Path: <stream([0-9]+)\@load\.test>\nMessage-ID: <([0-9]+)\.([0-9]+)\@load\.test>\n/gc
        or die "$file: no Return-Path and Message-ID: " . quote(substr($data, 0, 80)) . "\n";
    my ($s, $id_stream, $i) = ($1, $2, $3);
    my $id = "$id_stream.$i";
    $id_stream == $s or die "$file: Message-ID $id with the sender of stream $s\n";
    $data =~ /\GX-Seq: \Q$id\E\nSubject: load message \Q$id\E\n\n/gc or die "$file: headers of $id are not whole\n";
    substr($data, pos($data)) eq body_of($s, $i) or die "$file: body of $id is not whole\n";
    die "$file: $id delivered twice\n" if $seen{$id}++;
    ++$messages;
    $bytes += $size;
}

if ($count ne 'any') {
    my @missing;
    for my $s ($first_stream .. $first_stream + $streams - 1) {
        for my $i ($first_message .. $first_message + $count - 1) {
            push @missing, "$s.$i" unless delete $seen{"$s.$i"};
        }
    }
    die scalar(@missing) . " messages missing, e.g. " . join(' ', @missing[0 .. ($#missing < 4 ? $#missing : 4)]) . "\n"
      if @missing;
    die "unexpected messages: " . join(' ', (sort keys %seen)[0 .. 4]) . "\n" if %seen;
}
print "$messages messages, $bytes bytes\n";

sub quote {
    my ($text) = @_;
    $text =~ s/([^\x20-\x7e])/sprintf('\\x%02x', ord $1)/ge;
    return "'$text'";
}
