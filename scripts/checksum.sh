# Sourced by the scripts and tests that check packs: XXH3-64, the tools' own
# checksum, as 16 hex digits. Read from standard input so that no file name can
# look like a checksum; xxhsum prints "XXH3 (stdin) = HEX" up to 0.8.1 (Debian
# 12) and "XXH3_HEX  stdin" from 0.8.2 on (Debian 13).
xxh3_of() {
  xxhsum -H3 <"$1" | sed -nE 's/^(XXH3 \(stdin\) = |XXH3_)([0-9a-f]{16})( .*)?$/\2/p'
}
