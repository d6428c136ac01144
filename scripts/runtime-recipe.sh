# shellcheck shell=bash
# The recipe of the i486 runtime: everything here decides its bytes. It is sourced by
# scripts/build-runtime.sh, which names the cache's entry after the hash of this file
# (comment lines and blank lines left out) and the versions of the packages the build
# uses, so that what build-runtime.sh does around the build (the cache, its locks, the
# checks, the messages) can change without throwing away every machine's build.

# One line, exactly so: cmake/mingw-i686.cmake reads it to compile our code for the
# same CPU. -mtune=generic, not the i486 tuning -march implies: the same instructions,
# and a program 17 KB smaller.
CPU_FLAGS="-march=i486 -mtune=generic"

T=i686-w64-mingw32
# Their versions are in the key, with that of gcc-N-source, whose tarball holds
# libgcc's and libstdc++'s sources: the cross compiler, which compiles everything; the
# CRT's headers, whose version is that of the CRT's sources; binutils.
PACKAGES=(gcc-mingw-w64-i686-win32 g++-mingw-w64-i686-win32 mingw-w64-i686-dev binutils-mingw-w64-i686)
FILES=(crt2.o crtbegin.o crtend.o libgcc.a libgcc_eh.a libmingw32.a libmingwex.a libmoldname.a
       libmsvcrt.a libstdc++.a libstdc++fs.a libsupc++.a)
# Debian built its cross compiler from GCC's tarball with patches of gcc-N-source
# (patches/) and its own spelling fixes. Of those, these are the ones that reach what
# the runtime builds: cuda-float128 guards __float128 in four libstdc++ headers, and a
# spelling fix corrects a comment in a fifth. The others change the compiler itself,
# other targets, documentation or tests. build-runtime.sh checks the outcome: the C++
# headers the runtime is built against must be the installed ones.
GCC_PATCHES=(cuda-float128.diff)

# recipe_build DEST: builds the runtime in the current folder, $work, and puts FILES in
# DEST. build-runtime.sh provides step (runs a command, its output in a log) and sets
# work, jobs, gcc_version, gcc_tar (the tarball in gcc-N-source) and mingw_version.
recipe_build() {
    local dest=$1 G M
    local flags="-O2 $CPU_FLAGS -ffile-prefix-map=$work=."
    local arch=${CPU_FLAGS#*-march=} tune=${CPU_FLAGS#*-mtune=}
    arch=${arch%% *} tune=${tune%% *}
    local tools=(CC="$T-gcc-win32" AR="$T-ar" RANLIB="$T-ranlib" NM="$T-nm" LD="$T-ld" AS="$T-as"
                 DLLTOOL="$T-dlltool" OBJDUMP="$T-objdump" STRIP="$T-strip")
    export LC_ALL=C.UTF-8 SOURCE_DATE_EPOCH=1
    cd "$work"

    # Only what the C and C++ runtime needs: not the testsuite nor the other languages.
    local unused=(gcc/testsuite gcc/ada gcc/go gcc/d gcc/fortran gcc/m2 libgo libphobos libsanitizer
                  libgfortran libada gnattools libgomp libobjc libffi libvtv liboffloadmic libitm gotools)
    step "sources: GCC $gcc_version from $gcc_tar" unpack-gcc.log \
        tar -xf "$gcc_tar" "${unused[@]/#/--exclude=gcc-$gcc_version/}"
    G=$work/gcc-$gcc_version
    local patch
    for patch in "${GCC_PATCHES[@]}"; do
        step "sources: Debian's $patch" "patch-${patch%.diff}.log" \
            patch -d "$G" -p2 -i "${gcc_tar%/*}/patches/$patch"
    done
    step "sources: Debian's spelling fix" spelling.log \
        sed -i 's/mininum/minimum/' "$G/libstdc++-v3/include/pstl/parallel_backend_tbb.h"
    mkdir "$work/mingw-src" && cd "$work/mingw-src"
    # The version of the installed CRT and headers, exactly: another one would not match them.
    step "sources: mingw-w64 $mingw_version (apt-get source; needs the deb-src entry setup.sh adds)" \
        apt-get-source.log apt-get source -q "mingw-w64=$mingw_version"
    M=$(realpath "$work"/mingw-src/mingw-w64-*/)

    # ---- the mingw-w64 CRT, 32-bit only: the archives a static program links ----------
    mkdir -p "$work/crt/lib32" && cd "$work/crt"
    step "CRT: configure" configure.log \
        env "${tools[@]}" CFLAGS="$flags" CCASFLAGS="$flags" "$M/mingw-w64-crt/configure" \
            --host=$T --prefix=/unused --enable-lib32 --disable-lib64
    step "CRT: make" make.log \
        make -j"$jobs" lib32/crt2.o lib32/libmingw32.a lib32/libmingwex.a lib32/libmsvcrt.a lib32/libmoldname.a

    # ---- a configured gcc/ folder: the generated headers libgcc needs -----------------
    # The target headers must be visible to GCC's configure (sys-include), or it sets
    # inhibit_libc and libgcc's unwinder traps where it should call abort().
    mkdir -p "$work/prefix/$T" "$work/obj" && ln -s "/usr/$T/include" "$work/prefix/$T/sys-include"
    cd "$work/obj"
    step "gcc: configure as the cross compiler is" configure.log \
        "$G/configure" --build=x86_64-linux-gnu --host=x86_64-linux-gnu --target=$T \
            --prefix="$work/prefix" --enable-languages=c,c++ --enable-threads=win32 \
            --disable-sjlj-exceptions --with-dwarf2 --enable-fully-dynamic-string \
            --enable-libstdcxx-time=yes --enable-libstdcxx-filesystem-ts=yes --disable-multilib \
            --with-arch="$arch" --with-tune="$tune" --disable-nls --enable-shared --enable-static \
            --disable-lto --disable-bootstrap --with-as=/usr/bin/$T-as --with-ld=/usr/bin/$T-ld
    step "gcc: configure-gcc" configure-gcc.log make configure-gcc
    step "gcc: libiberty for the build machine" libiberty.log make -j"$jobs" all-build-libiberty
    step "gcc: libgcc's generated headers" gcc-headers.log \
        make -C gcc -j"$jobs" -o xgcc -o specs libgcc.mvars tconfig.h tm.h options.h insn-constants.h version.h
    mkdir -p gcc/include

    # ---- libgcc: libgcc.a, libgcc_eh.a, crtbegin.o, crtend.o ------------------------
    mkdir -p "$work/obj/$T/libgcc" && cd "$work/obj/$T/libgcc"
    step "libgcc: configure" configure.log \
        env "${tools[@]}" CFLAGS="$flags" "$G/libgcc/configure" --srcdir="$G/libgcc" \
            --build=x86_64-linux-gnu --host=$T --target=$T --with-cross-host=x86_64-linux-gnu \
            --prefix=/unused --enable-shared --enable-version-specific-runtime-libs --with-target-subdir=$T
    step "libgcc: make" make.log make -j"$jobs"

    # ---- libstdc++, configured as Debian's was ------------------------------------
    # So that its generated c++config.h is the installed one (--enable-shared matters:
    # without it four macros differ). CXX is the C driver on the library's own headers
    # from the build tree.
    mkdir -p "$work/obj/$T/libstdc++-v3" && cd "$work/obj/$T/libstdc++-v3"
    step "libstdc++: configure" configure.log \
        env "${tools[@]}" CXX="$T-gcc-win32 -shared-libgcc -nostdinc++" CXXFLAGS="$flags" CFLAGS="$flags" \
            "$G/libstdc++-v3/configure" --srcdir="$G/libstdc++-v3" \
            --build=x86_64-linux-gnu --host=$T --target=$T --with-cross-host=x86_64-linux-gnu \
            --prefix=/unused --enable-fully-dynamic-string --enable-libstdcxx-time=yes \
            --enable-libstdcxx-filesystem-ts=yes --disable-multilib --disable-nls --enable-shared \
            --enable-static --disable-libstdcxx-pch --enable-version-specific-runtime-libs \
            --with-target-subdir=$T
    step "libstdc++: make" make.log make -j"$jobs"

    # ---- the entry's files ---------------------------------------------------------
    cd "$work"
    cp crt/lib32/{crt2.o,libmingw32.a,libmingwex.a,libmsvcrt.a,libmoldname.a} "$dest/"
    cp obj/$T/libgcc/{libgcc.a,libgcc_eh.a,crtbegin.o,crtend.o} "$dest/"
    cp obj/$T/libstdc++-v3/src/.libs/libstdc++.a obj/$T/libstdc++-v3/libsupc++/.libs/libsupc++.a \
       obj/$T/libstdc++-v3/src/filesystem/.libs/libstdc++fs.a "$dest/"
    $T-strip --strip-debug "$dest"/*.o "$dest"/*.a
}
