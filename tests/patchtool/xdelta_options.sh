# Sourced by vcdiff_xdelta.sh and vcdiff_fuzz.sh: the xdelta3 encoder options
# the decoder is checked under, as name|options; WHOLE stands for the source's
# size, which xdelta3 takes no smaller than 1 MiB.
# shellcheck disable=SC2034 # used by the scripts that source it
options=(
  'l0|-0' 'l1|-1' 'l3|-3' 'l6|-6' 'l9|-9' 'N|-N' 'n|-n' 'noapp|-A=' 'app|' 'ownapp|-A=patch-v2'
  'W16k|-W 16384' 'W64k|-W 65536' 'W1m|-W 1048576' 'W16m|-W 16777216'
  'B1m|-B 1048576' 'B2m|-B 2097152' 'Bwhole|-B WHOLE'
  'l9W16kB1m|-9 -W 16384 -B 1048576' 'l0nAW64k|-0 -n -A= -W 65536' 'l1NAW16kBwhole|-1 -N -A= -W 16384 -B WHOLE'
)
