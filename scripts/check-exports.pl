#!/usr/bin/perl
# Checks the library's export boundary against its installed headers.
#
#   check-exports.pl headers <header>...
#       fails if a header declares a class, function or variable at
#       namespace scope without VORN_EXPORT: with hidden visibility it would
#       compile for a user but not link.
#   check-exports.pl symbols <library> <header>...
#       fails if the library exports a symbol that belongs to nothing the
#       headers export (a private helper or a test hook).
#
# Templates, inline and static functions, forward declarations, enums and
# typedefs need no export; class members and nested classes follow their
# class.
use strict;
use warnings;

my (@missing, %exported);

# Drops comments, string and character literals and preprocessor lines,
# keeping "extern "C"" recognisable.
sub clean {
    my ($text) = @_;
    $text =~ s/\\\n/ /g;
    $text =~ s{//[^\n]*|/\*.*?\*/}{ }gs;
    $text =~ s/^\s*#[^\n]*//mg;
    $text =~ s/extern\s*"C"/extern_C/g;
    $text =~ s/"(?:\\.|[^"\\])*"/""/g;
    $text =~ s/'(?:\\.|[^'\\])*'/''/g;
    # Argument-free macros that open or close a scope.
    $text =~ s/\bQT_(?:BEGIN|END)_NAMESPACE\b/ /g;
    return $text;
}

my $parens = qr/\((?:[^()]|\((?:[^()]|\([^()]*\))*\))*\)/;

# Leading calls of macros such as Q_DECLARE_METATYPE(T), which need no ";".
sub strip_macro_calls {
    my ($stmt) = @_;
    1 while $stmt =~ s/^\s*[A-Z][A-Z0-9_]*\s*$parens\s*//;
    $stmt =~ s/^\s+|\s+$//g;
    return $stmt;
}

sub note {
    my ($file, $what, $name, $stmt) = @_;
    if ($stmt =~ /\bVORN_EXPORT\b/) {
        $exported{$name} = 1;
        return;
    }
    $stmt =~ s/\s+/ /g;
    push @missing, "$file: $what without VORN_EXPORT: $stmt";
}

# A statement at namespace scope that ends with ';'.
sub declaration {
    my ($file, $stmt) = @_;
    $stmt = strip_macro_calls($stmt);
    return if $stmt eq '';
    if ($stmt =~ /^extern\s+template\s+(?:class|struct)\b.*?(\w+)\s*</) {
        note($file, 'explicit instantiation', $1, $stmt);
        return;
    }
    return if $stmt =~ /^(?:template|typedef|using|friend|static_assert|enum|namespace)\b/;
    $stmt =~ s/^extern_C\s*//;
    return if $stmt =~ /^(?:class|struct|union)\s+\w+$/;    # forward declaration
    return if $stmt =~ /^static\b/ || $stmt =~ /\b(?:inline|constexpr)\b/;
    (my $flat = $stmt) =~ s/$parens/()/g;
    if ($stmt =~ /^extern\b/ || $stmt =~ /\bextern\b/ && $stmt =~ /\bVORN_EXPORT\b/) {
        (my $var = $flat) =~ s/\s*(?:\[[^\]]*\]\s*)*(?:=.*)?$//;
        note($file, 'variable', $var =~ /(\w+)$/ ? $1 : $var, $stmt);
        return;
    }
    # A function: a name followed by its parameters; "=" first makes a variable.
    if ($flat !~ /=.*\(\)/ && $flat =~ /(operator\s*[^\s(]+|\w+)\s*\(\)/) {
        (my $name = $1) =~ s/\s+//g;
        note($file, 'function', $name, $stmt);
    }
}

sub scan {
    my ($file) = @_;
    open(my $fh, '<', $file) or die "$file: $!\n";
    my $text = clean(do { local $/; <$fh> });
    close($fh);

    # Namespace and extern "C" blocks are looked into; the bodies of
    # classes, enums and functions are skipped.
    my $stmt = '';
    my $skipDepth = 0;
    foreach my $ch (split //, $text) {
        if ($skipDepth > 0) {
            $skipDepth++ if $ch eq '{';
            $skipDepth-- if $ch eq '}';
            $stmt = '' if $skipDepth == 0;
            next;
        }
        if ($ch eq '{') {
            my $head = strip_macro_calls($stmt);
            $stmt = '';
            next if $head =~ /^(?:inline\s+)?namespace\b/ || $head eq 'extern_C';
            # class [attributes] Name [final] [: bases]
            if ($head =~ /^(?:extern_C\s+)?(class|struct|union)\b\s*(.*)$/s) {
                my ($kind, $rest) = ($1, $2);
                $rest =~ s/\s*:(?!:).*$//s;
                $rest =~ s/\s+final$//;
                note($file, $kind, $1, $head) if $rest =~ /(\w+)$/;
            }
            $skipDepth = 1;
            next;
        }
        if ($ch eq '}') {
            $stmt = '';
            next;
        }
        if ($ch eq ';') {
            declaration($file, $stmt);
            $stmt = '';
            next;
        }
        $stmt .= $ch;
    }
}

# The class, namespace or function a demangled symbol belongs to.
sub owner {
    my ($symbol) = @_;
    $symbol =~ s/^(?:(?:typeinfo name|typeinfo|vtable|VTT|construction vtable|guard variable|reference temporary #\d+)\s+for|(?:non-virtual|virtual|covariant return) thunk to)\s+//;
    # A function template's name comes after its return type.
    my $depth = 0;
    for (my $i = 0; $i < length $symbol; $i++) {
        my $c = substr($symbol, $i, 1);
        last if $depth == 0 && $c eq '(';
        $depth++ if $c eq '<' || $c eq '(';
        $depth-- if $c eq '>' || $c eq ')';
        last if $depth < 0;
        if ($depth == 0 && $c eq ' ' && substr($symbol, 0, $i) !~ /\boperator\S*$/) {
            $symbol = substr($symbol, $i + 1);
            last;
        }
    }
    return $1 if $symbol =~ /^(operator\s*[^\s(]+?)\s*\(/;
    return $1 if $symbol =~ /^(?:\w+\s+)*?(\w+)\s*(?:::|<|\(|$)/;
    return $symbol;
}

my $mode = shift @ARGV // '';
if ($mode eq 'headers') {
    scan($_) foreach @ARGV;
    print "$_\n" foreach @missing;
    exit(@missing ? 1 : 0);
}
if ($mode eq 'symbols') {
    my $library = shift @ARGV;
    scan($_) foreach @ARGV;
    # Linker-made symbols, and the inline functions and templates of the
    # standard library and Qt (Q...), which keep their default visibility
    # where the compiler does not inline them; AddressSanitizer's own.
    my %allowed = map { $_ => 1 } qw(_init _fini _edata _end __bss_start std __gnu_cxx Qt);
    my @symbols = `nm -DC --defined-only '$library'`;
    die "nm failed on $library\n" if $? != 0 || !@symbols;
    my @stray;
    foreach my $line (@symbols) {
        chomp $line;
        my ($addr, $type, $symbol) = split ' ', $line, 3;
        next unless defined $symbol;
        my $owner = owner($symbol);
        next if $exported{$owner} || $allowed{$owner} || $owner =~ /^Q[A-Z]/ || $symbol =~ /^__(?:odr_)?asan/;
        push @stray, $symbol;
    }
    print "$library exports what no installed header exports: $_\n" foreach @stray;
    printf "%s: %d symbols exported\n", $library, scalar @symbols unless @stray;
    exit(@stray ? 1 : 0);
}
die "usage: $0 headers <header>... | symbols <library> <header>...\n";
