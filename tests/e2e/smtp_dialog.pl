#!/usr/bin/perl
# smtp_dialog.pl PORT < script
#
# Plays an SMTP dialog against 127.0.0.1:PORT, one command per script line,
# and prints the transcript: "C: line" for what was sent, "S: line" for each
# reply line. After a DATA command whose reply is 354, the script lines up to
# a line holding a single "." are the message (sent as they are, with CRLF
# line ends; the test writes any dot-stuffing itself), then the "." is sent
# and its reply read. The dialog ends at the end of the script; the
# connection is then closed without QUIT unless the script said it.
use strict;
use warnings;
use IO::Socket::INET;

my $port = shift or die "usage: smtp_dialog.pl PORT < script\n";
my $sock = IO::Socket::INET->new(PeerAddr => '127.0.0.1', PeerPort => $port, Proto => 'tcp', Timeout => 30)
  or die "connect: $!\n";
$sock->autoflush(1);

sub reply {
  my $code;
  while (defined(my $line = <$sock>)) {
    $line =~ s/\r?\n$//;
    print "S: $line\n";
    $code = substr($line, 0, 3);
    last if length($line) < 4 || substr($line, 3, 1) ne '-';
  }
  return $code // '';
}

reply();
my @script = <STDIN>;
while (@script) {
  my $command = shift @script;
  $command =~ s/\r?\n$//;
  print "C: $command\n";
  print $sock "$command\r\n";
  my $code = reply();
  if (uc($command) eq 'DATA' && $code eq '354') {
    while (@script) {
      my $line = shift @script;
      $line =~ s/\r?\n$//;
      print $sock "$line\r\n";
      last if $line eq '.';
    }
    print "C: <message>\n";
    reply();
  }
}
close $sock;
