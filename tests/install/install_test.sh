#!/usr/bin/env bash
# A front end built against the installed library only.
set -eu
build=$1 work=$2 src=$3 cxx=$4
rm -rf "$work"; mkdir -p "$work"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

# Each public header compiles on its own.
for std in c++17 c++20; do
    for h in "$prefix"/include/tallory/*.h; do
        echo "#include \"tallory/$(basename "$h")\"" | "$cxx" -std=$std -Wall -Wextra -Werror -I"$prefix/include" -x c++ -fsyntax-only -
    done
done

cat > "$work/frontend.cpp" <<'CPP'
#include <tallory/tallory.h>
#include <cstdio>
#include <cstring>
int main() {
    FormatInfo info;
    if (ConvGetFormatOf(&info, "/music/a.OGG") != S_OK || std::strcmp(info.name, "Ogg Vorbis") != 0) return 1;
    if (ConvGetFormatCount() != 9) return 2;
    if (!PutProfileString("Frontend", "LastFolder", "/music")) return 3;
    char text[TALLORY_MAX_PATH];
    if (!GetProfileStringA("Frontend", "LastFolder", text) || std::strcmp(text, "/music") != 0) return 4;
    void* object = nullptr;
    if (ConvCreateObject(IID_IConvSource, &IID_IConvSource, &object) != E_NOINTERFACE) return 5;
    std::printf("%s ok\n", TalloryVersion());
    return 0;
}
CPP
export XDG_CONFIG_HOME=$work/config
export PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name tallory.pc)")
"$cxx" -std=c++17 "$work/frontend.cpp" -o "$work/fe-pkgconfig" $(pkg-config --cflags --libs tallory) \
    -Wl,-rpath,"$(pkg-config --variable=libdir tallory)" $([ -n "${ASAN_BUILD:-}" ] && echo -fsanitize=address,undefined)
"$work/fe-pkgconfig" | grep -q 'v4.5 ok'

mkdir -p "$work/cmakeproj"
cp "$work/frontend.cpp" "$work/cmakeproj/"
cat > "$work/cmakeproj/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.25)
project(frontend CXX)
find_package(Tallory REQUIRED)
add_executable(frontend frontend.cpp)
target_link_libraries(frontend PRIVATE Tallory::tallory)
CM
cmake -S "$work/cmakeproj" -B "$work/cmakebuild" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_EXE_LINKER_FLAGS="$([ -n "${ASAN_BUILD:-}" ] && echo -fsanitize=address,undefined)" >/dev/null
cmake --build "$work/cmakebuild" >/dev/null
"$work/cmakebuild/frontend" | grep -q 'v4.5 ok'
"$prefix/bin/tallory" --version | grep -q 'v4.5'
echo "install test: 1 passed, 0 failed"
