#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer and runs each for a while.
# usage: scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]   (targets: rule_file rule_text
#        ini_file registry_hive proc_net whois_answer; default all, 60 seconds each)
# New inputs that add coverage land in build/fuzz/corpus/<target>; crashes in build/fuzz/.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(rule_file rule_text ini_file registry_hive proc_net whois_answer)
cmake -S "$top" -B "$top/build/fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DQXFW_FUZZ=ON >/dev/null
for t in "${targets[@]}"; do
  cmake --build "$top/build/fuzz" --target "fuzz_$t"
  mkdir -p "$top/build/fuzz/corpus/$t"
  (cd "$top/build/fuzz" && "./tests/fuzz/fuzz_$t" -max_total_time="$seconds" -print_final_stats=1 \
    "corpus/$t" "$top/tests/fuzz/corpus/$t")
done
