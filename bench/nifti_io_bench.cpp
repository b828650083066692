// Reading and writing a NIfTI volume as the tool does (readNifti, VolumeFile::write), against
// the NIfTI library's own whole-image read and write of the same file (zlib streams for
// .nii.gz). Prints the best of several runs in seconds, and the sizes written.
//
//   nifti_io_bench IN.nii[.gz] [RUNS]
#include <nifti2_io.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "volume_io.h"

namespace {

double bestOf(int runs, const std::function<void()>& f) {
    double best = 1e30;
    for (int r = 0; r < runs; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        best = std::min(
            best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    return best;
}

long long fileSize(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: nifti_io_bench IN.nii[.gz] [RUNS]\n");
        return 2;
    }
    const std::string in = argv[1];
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const bool gz = in.size() > 3 && in.compare(in.size() - 3, 3, ".gz") == 0;
    const std::string out =
        "/tmp/nifti_io_bench_" + std::to_string(getpid()) + (gz ? ".nii.gz" : ".nii");
    nifti_set_debug_level(0);
    try {
        std::unique_ptr<kelvo::cli::VolumeFile> f;
        const double toolRead = bestOf(runs, [&] { f = kelvo::cli::readNifti(in); });
        const double toolWrite = bestOf(runs, [&] { f->write(out, f->values, false); });
        const long long toolSize = fileSize(out);
        const double libRead =
            bestOf(runs, [&] { nifti_image_free(nifti_image_read(in.c_str(), 1)); });
        nifti_image* nim = nifti_image_read(in.c_str(), 1);
        if (!nim) throw kelvo::cli::IoError(in + ": the NIfTI library cannot read it");
        nifti_set_filenames(nim, out.c_str(), 0, 1);
        const double libWrite = bestOf(runs, [&] { nifti_image_write(nim); });
        const long long libSize = fileSize(out);
        nifti_image_free(nim);
        std::remove(out.c_str());
        std::printf("%s: %lld voxels, best of %d\n", in.c_str(),
                    static_cast<long long>(f->values.size()), runs);
        std::printf("tool     read %.3f s  write %.3f s  (%lld bytes)\n", toolRead, toolWrite,
                    toolSize);
        std::printf("library  read %.3f s  write %.3f s  (%lld bytes)\n", libRead, libWrite,
                    libSize);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
