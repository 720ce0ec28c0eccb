#!/bin/sh
# Fails when a QHash/QMap is read through its non-const operator[] in the
# given folders (default: smartcharging sim). That operator inserts a
# default entry for a missing key, so a read there silently grows the table
# another step then finds. Reads go through value(), constFind() or a const
# reference; operator[] stays for writes: "t[k] = v", "t[k] += v",
# "t[k].member = v", "++t[k]" and binding a non-const reference
# "T &r = t[k];". Anything else (a value taken, a method called, an
# argument passed, a const reference bound) is reported.
#
# Tables are recognised by their declarations (QHash, QMap, QMultiHash,
# QMultiMap, std::map, std::unordered_map, anywhere in the folders): the
# check knows names, not types, so a name declared as a table in one place
# counts as a table everywhere.
cd "$(dirname "$0")/.." || exit 2
[ $# -gt 0 ] || set -- smartcharging sim
exec perl -e '
use strict; use warnings;
my @files = map { glob("$_/*.h $_/*.cpp") } @ARGV;
my %text;
for my $f (@files) {
    open(my $in, "<", $f) or die "$f: $!";
    local $/; my $t = <$in>; close $in;
    $t =~ s{/\*.*?\*/}{ my $c = $&; $c =~ s/[^\n]/ /g; $c }gse;         # block comments
    $t =~ s{"(?:[^"\\\n]|\\.)*"}{""}g;                                   # strings
    $t =~ s{//[^\n]*}{}g;                                                # line comments
    $text{$f} = $t;
}
# Names declared as tables: the declarator right after the closing ">".
# A plain name counts in the unit that declares it (x.cpp with x.h); a
# member reached through "." or "->" counts everywhere.
my (%unitTable, %memberTable);
my $targs = qr/(?<ta><(?:[^<>]++|(?&ta))*>)/;
sub unit { my $f = shift; $f =~ s/\.(?:h|cpp)$//; return $f; }
for my $f (keys %text) {
    while ($text{$f} =~ /\b(?:QHash|QMap|QMultiHash|QMultiMap|std::map|std::unordered_map)\s*$targs\s*[&*]?\s*(?<name>\w+)\s*(?=[;={(,)])/g) {
        my $name = $+{name};
        $unitTable{unit($f)}{$name} = 1;
        $memberTable{$name} = 1 if $f =~ /\.h$/;
    }
}
my $bad = 0;
my $br = qr/(?<sb>\[(?:[^\[\]]++|(?&sb))*\])/;
for my $f (sort keys %text) {
    my @lines = split /\n/, $text{$f}, -1;
    for my $i (0 .. $#lines) {
        my $l = $lines[$i];
        while ($l =~ /(?<qual>(?:\w+(?:\.|->))*)(?:(?<name>\w+)|\(\*(?<name>\w+)\))(?:\s*$br)+/g) {
            my ($name, $qual) = ($+{name}, $+{qual});
            my ($start, $end) = ($-[0], $+[0]);
            next unless $qual ne "" ? $memberTable{$name} : $unitTable{unit($f)}{$name};
            my $before = substr($l, 0, $start);
            my $after = substr($l, $end);
            # Continue the statement onto the next line when it breaks right after the subscript.
            $after .= " " . ($lines[$i + 1] // "") if $after =~ /^\s*$/;
            # Writes: t[k] = v, t[k].m = v, t[k] += v, ++t[k], t[k]++.
            next if $after =~ /^\s*(?:\.\w+\s*)*(?:[-+*\/%|&^]|<<|>>)?=(?!=)/;
            next if $after =~ /^\s*(?:\.\w+\s*)*(?:\+\+|--)/ || $before =~ /(?:\+\+|--)\s*$/;
            # Binding a non-const reference: T &r = t[k];
            next if $before =~ /^\s*+(?!const\b)[\w:<>,\s*]*?&\s*\w+\s*=\s*$/;
            # A statement of its own that calls on the entry or streams into
            # it (t[k].clear(); t[k] << v;): its result is not used.
            next if $before =~ /^\s*(?:else\s*)?$/ && $after =~ /^\s*(?:(?:\.\w+\s*)+\(|<<)/;
            printf "%s:%d: non-const operator[] read of %s: %s\n", $f, $i + 1, $name, $l =~ s/^\s+//r;
            $bad = 1;
        }
    }
}
exit $bad;
' "$@"
