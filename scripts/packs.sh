# Sourced by the scripts that make tools, bundles and demo games: the packs in
# the installer's order, the sizes it recognises them by (installer/PackTable.cpp
# holds the same), the tool it starts for each patchable size, and the layout of
# a player's game folder once the bundle is unzipped into it.
PACKS=(System.GPK Event02.GPK Event03.GPK Event04.GPK)
declare -gA LOCALISED_SIZE=([System.GPK]=1920111811 [Event02.GPK]=1596877503
                           [Event03.GPK]=1988620516 [Event04.GPK]=1913208630)
# Step 1 has two patchable versions, each with its own tool.
TOOLS=(01 011 02 03 04)
declare -gA TOOL_PACK=([01]=System.GPK [011]=System.GPK [02]=Event02.GPK [03]=Event03.GPK [04]=Event04.GPK)
declare -gA TOOL_SIZE=([01]=1918642538 [011]=1918447847 [02]=1597155581 [03]=1988639031 [04]=1913472604)
# The installer looks for the event packs' tool in Packs before it does steps 2 to 4.
GATE=Packs/02.exe

# pack_pairs TOOL...: for scripts/make-packs.py, a line PACK:ORIGINAL:LOCALISED
# for each TOOL, the sizes of the pack it patches and of what it makes.
pack_pairs() {
  local tool
  for tool; do echo "${TOOL_PACK[$tool]}:${TOOL_SIZE[$tool]}:${LOCALISED_SIZE[${TOOL_PACK[$tool]}]}"; done
}

# lay_out_bundle BUILD_BIN TOOLS_DIR FOLDER: the programs and every tool in
# TOOLS_DIR (NN.exe) at the top of FOLDER, as the installer starts them, and
# the gate's copy of 02.exe in FOLDER/Packs.
lay_out_bundle() {
  local bin=$1 tools=$2 folder=$3 tool
  mkdir -p "$folder/Packs"
  cp "$bin/Brisunde.exe" "$bin/Telvaro.exe" "$bin/Restore.exe" "$folder/"
  for tool in "${TOOLS[@]}"; do
    [[ -f $tools/$tool.exe ]] && cp "$tools/$tool.exe" "$folder/"
  done
  if [[ -f $tools/02.exe ]]; then cp "$tools/02.exe" "$folder/$GATE"; fi
}
