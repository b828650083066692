// NIfTI-1/NIfTI-2 single files (.nii, .nii.gz). The header read from the input is copied
// unchanged to the output (geometry, orientation, units, scaling, descriptions, extensions);
// only the sample data is replaced.
//
// The NIfTI C library parses and builds the headers. The sample data of single files is read
// and written here, whole-buffer, for .nii.gz with libdeflate (reading) and zlib's
// run-length deflate on several threads (writing): zlib's stream interface, which the
// library uses, makes gzip the largest part of a volume's reading and writing. The files
// stay ordinary single-member gzip streams holding the same bytes the library would write.
#include <libdeflate.h>
#include <nifti2_io.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "volume_io.h"

namespace kelvo {
namespace cli {

namespace {

struct NiftiDeleter {
    void operator()(nifti_image* p) const {
        if (p) nifti_image_free(p);
    }
};
using NiftiPtr = std::unique_ptr<nifti_image, NiftiDeleter>;

bool typeOfDatatype(int datatype, SampleType* t) {
    switch (datatype) {
        case DT_UINT8:
            *t = SampleType::U8;
            return true;
        case DT_INT8:
            *t = SampleType::I8;
            return true;
        case DT_UINT16:
            *t = SampleType::U16;
            return true;
        case DT_INT16:
            *t = SampleType::I16;
            return true;
        case DT_UINT32:
            *t = SampleType::U32;
            return true;
        case DT_INT32:
            *t = SampleType::I32;
            return true;
        case DT_FLOAT32:
            *t = SampleType::F32;
            return true;
        case DT_FLOAT64:
            *t = SampleType::F64;
            return true;
        default:
            return false;
    }
}

// Byte buffers that `resize` leaves uninitialised: every byte is written before it is read,
// and zeroing tens of megabytes first would cost as much as the decompression.
template <typename T>
struct UninitialisedAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitialisedAllocator<U>;
    };
    UninitialisedAllocator() = default;
    template <typename U>
    UninitialisedAllocator(const UninitialisedAllocator<U>&) {}
    template <typename U>
    void construct(U* p) {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... A>
    void construct(U* p, A&&... a) {
        ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
    }
};
using Bytes = std::vector<unsigned char, UninitialisedAllocator<unsigned char>>;

bool endsWithGz(const std::string& path) {
    return path.size() >= 3 && path.compare(path.size() - 3, 3, ".gz") == 0;
}

Bytes readWholeFile(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) throw IoError(path + ": cannot open file");
    Bytes bytes;
    if (std::fseek(f, 0, SEEK_END) == 0) {
        const long size = std::ftell(f);
        if (size > 0) bytes.resize(static_cast<std::size_t>(size));
        std::rewind(f);
    }
    const std::size_t got = bytes.empty() ? 0 : std::fread(bytes.data(), 1, bytes.size(), f);
    const bool failed = std::ferror(f) != 0 || got != bytes.size();
    std::fclose(f);
    if (failed) throw IoError(path + ": read error");
    return bytes;
}

void writeWholeFile(const std::string& path, const Bytes& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) throw IoError(path + ": cannot create file (directory missing or not writable?)");
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (std::fclose(f) != 0 || !written)
        throw IoError(path + ": write failed (disk full or not writable?)");
}

// gzip of `in` as one member whose deflate blocks hold only runs of a repeated byte (zlib's
// Z_RLE) and Huffman-coded bytes. Float samples repeat few longer byte strings, so full
// string matching takes most of a deflate's time for little: a denoised 181x217x181 float
// volume (28.4 MB) took 0.25 s at libdeflate's fastest level for 25.04 MB, and 0.22 s with
// runs only for 24.84 MB; the runs of zeros around a skull-stripped or masked volume are
// caught as well as by full matching (the inia19 template: 3.05 MB both; Huffman coding
// alone, 5.17 MB). Runs never reach back past a part's start, so parts of PART_BYTES are
// coded by up to `threads` threads at once, each but the last ending on a byte boundary (a
// sync flush, as pigz does), and joined into one deflate stream. The parts do not depend on
// the thread count, so neither do the file's bytes.
constexpr std::size_t PART_BYTES = std::size_t(1) << 20;

struct DeflatedPart {
    std::size_t size = 0;  ///< uncompressed bytes
    Bytes bytes;
    uLong crc = 0;
    bool failed = false;
};

void deflatePart(const unsigned char* in, std::size_t size, bool last, DeflatedPart& part) {
    part.size = size;
    z_stream z{};
    // Raw deflate (window bits -15): the gzip header and trailer are written around the parts.
    if (deflateInit2(&z, 1, Z_DEFLATED, -15, 9, Z_RLE) != Z_OK) {
        part.failed = true;
        return;
    }
    try {
        part.bytes.resize(deflateBound(&z, static_cast<uLong>(size)) + 16);
    } catch (const std::bad_alloc&) {
        deflateEnd(&z);
        part.failed = true;
        return;
    }
    z.next_in = const_cast<Bytef*>(in);
    z.avail_in = static_cast<uInt>(size);
    z.next_out = part.bytes.data();
    z.avail_out = static_cast<uInt>(part.bytes.size());
    const int r = deflate(&z, last ? Z_FINISH : Z_SYNC_FLUSH);
    part.failed = z.avail_in != 0 || (last ? r != Z_STREAM_END : r != Z_OK);
    part.bytes.resize(part.bytes.size() - z.avail_out);
    deflateEnd(&z);
    part.crc = crc32(0L, in, static_cast<uInt>(size));
}

Bytes gzipBytes(const Bytes& in, const std::string& path, int threads) {
    const std::size_t count = std::max<std::size_t>(1, (in.size() + PART_BYTES - 1) / PART_BYTES);
    std::vector<DeflatedPart> parts;
    try {
        parts.resize(count);
    } catch (const std::bad_alloc&) {
        throw IoError(path + ": out of memory");
    }
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        for (std::size_t k = next++; k < count; k = next++) {
            const std::size_t first = k * PART_BYTES;
            deflatePart(in.data() + first, std::min(PART_BYTES, in.size() - first), k + 1 == count,
                        parts[k]);
        }
    };
    if (threads < 1) threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    std::vector<std::thread> helpers;
    for (int t = 1; t < threads && static_cast<std::size_t>(t) < count; ++t) {
        try {
            helpers.emplace_back(work);
        } catch (const std::system_error&) {
            break;  // no more threads: the parts left are coded here
        }
    }
    work();
    for (std::thread& h : helpers) h.join();

    std::size_t total = 18;  // gzip header (10) and trailer (8)
    uLong crc = crc32(0L, Z_NULL, 0);
    for (const DeflatedPart& part : parts) {
        if (part.failed) throw IoError(path + ": gzip compression failed (out of memory?)");
        total += part.bytes.size();
        crc = crc32_combine(crc, part.crc, static_cast<z_off_t>(part.size));
    }
    Bytes out;
    try {
        out.reserve(total);
    } catch (const std::bad_alloc&) {
        throw IoError(path + ": out of memory");
    }
    // Deflate, no flags, no time stamp, "fastest" extra flags, Unix.
    const unsigned char header[10] = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 4, 3};
    out.insert(out.end(), header, header + 10);
    for (DeflatedPart& part : parts) {
        out.insert(out.end(), part.bytes.begin(), part.bytes.end());
        Bytes().swap(part.bytes);
    }
    const std::uint32_t size = static_cast<std::uint32_t>(in.size());  // modulo 2^32
    for (const std::uint32_t word : {static_cast<std::uint32_t>(crc), size})
        for (int b = 0; b < 4; ++b) out.push_back(static_cast<unsigned char>(word >> (8 * b)));
    return out;
}

struct DecompressorDeleter {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// The first `need` bytes of the gzip file `in` (one or several members), or fewer if the
// stream holds fewer. Throws IoError on corrupt data.
Bytes gunzipPrefix(const Bytes& in, std::size_t need, const std::string& path) {
    const std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> d(
        libdeflate_alloc_decompressor());
    if (!d) throw IoError(path + ": out of memory");
    // A member must be decompressed whole: start from the size recorded at the end of the
    // file (that of a single member, modulo 2^32) and grow while a member does not fit.
    // Deflate cannot expand data by more than 1032:1, which bounds the growth and discards
    // the recorded size of a cut file (whose last four bytes are not a size).
    const std::size_t limit = in.size() * 1032 + need + 1024;
    std::size_t capacity = need;
    if (in.size() >= 4) {
        const std::size_t recorded =
            std::size_t(in[in.size() - 4]) | std::size_t(in[in.size() - 3]) << 8 |
            std::size_t(in[in.size() - 2]) << 16 | std::size_t(in[in.size() - 1]) << 24;
        if (recorded > capacity && recorded <= limit) capacity = recorded;
    }
    Bytes out(capacity);
    std::size_t inPos = 0, outPos = 0;
    enum libdeflate_result r = LIBDEFLATE_SUCCESS;
    while (outPos < need && in.size() - inPos >= 18) {  // 18: the smallest gzip member
        std::size_t used = 0, produced = 0;
        r = libdeflate_gzip_decompress_ex(d.get(), in.data() + inPos, in.size() - inPos,
                                          out.data() + outPos, out.size() - outPos, &used,
                                          &produced);
        if (r == LIBDEFLATE_INSUFFICIENT_SPACE && out.size() < limit) {
            out.resize(std::min(limit, 2 * out.size()));
            continue;
        }
        if (r != LIBDEFLATE_SUCCESS) break;
        inPos += used;
        outPos += produced;
    }
    if (r != LIBDEFLATE_SUCCESS) throw IoError(path + ": corrupt gzip data");
    out.resize(std::min(outPos, need));
    return out;
}

// The header, extensions and padding that precede the samples in a single NIfTI file, as the
// NIfTI library writes them; sets nim->iname_offset.
Bytes niftiFileBytes(nifti_image* nim, const std::string& path) {
    const bool v2 = nim->nifti_type == NIFTI_FTYPE_NIFTI2_1;
    nifti_set_iname_offset(nim, v2 ? 2 : 1);
    Bytes bytes;
    if (v2) {
        // This version of the library leaves the NIfTI-2 data offset at 0: set it here, after
        // the header, the extender and the extensions, on a multiple of 16.
        std::int64_t offset = static_cast<std::int64_t>(sizeof(nifti_2_header)) + 4;
        if (nim->num_ext > 0 && nim->ext_list && valid_nifti_extensions(nim))
            for (int k = 0; k < nim->num_ext; ++k) offset += nim->ext_list[k].esize;
        nim->iname_offset = (offset + 15) / 16 * 16;
        nifti_2_header h;
        if (nifti_convert_nim2n2hdr(nim, &h) != 0)
            throw IoError(path + ": cannot build the NIfTI header");
        h.vox_offset = nim->iname_offset;
        static const char MAGIC[8] = {'n', '+', '2', '\0', '\r', '\n', '\032', '\n'};
        std::memcpy(h.magic, MAGIC, sizeof MAGIC);
        bytes.assign(reinterpret_cast<unsigned char*>(&h),
                     reinterpret_cast<unsigned char*>(&h) + sizeof h);
    } else {
        nifti_1_header h;
        if (nifti_convert_nim2n1hdr(nim, &h) != 0)
            throw IoError(path + ": cannot build the NIfTI header");
        bytes.assign(reinterpret_cast<unsigned char*>(&h),
                     reinterpret_cast<unsigned char*>(&h) + sizeof h);
    }
    // Extender, then each extension as (size, code, data), size a multiple of 16.
    const bool extensions = nim->num_ext > 0 && nim->ext_list && valid_nifti_extensions(nim);
    const unsigned char extender[4] = {static_cast<unsigned char>(extensions ? 1 : 0), 0, 0, 0};
    bytes.insert(bytes.end(), extender, extender + 4);
    for (int k = 0; extensions && k < nim->num_ext; ++k) {
        const nifti1_extension& e = nim->ext_list[k];
        const std::int32_t head[2] = {e.esize, e.ecode};
        const unsigned char* h = reinterpret_cast<const unsigned char*>(head);
        bytes.insert(bytes.end(), h, h + sizeof head);
        bytes.insert(bytes.end(), e.edata, e.edata + (e.esize - 8));
    }
    if (nim->iname_offset < static_cast<std::int64_t>(bytes.size()))
        throw IoError(path + ": inconsistent NIfTI extensions");
    bytes.resize(static_cast<std::size_t>(nim->iname_offset), 0);
    return bytes;
}

/// The image's samples exactly as stored, in the machine's byte order.
std::vector<char> readRawSamples(const std::string& path, nifti_image* nim, std::size_t count) {
    const std::size_t bytes = count * std::size_t(nim->nbyper);
    std::vector<char> raw(bytes);
    znzFile f = znzopen(nim->iname, "rb", nifti_is_gzfile(nim->iname));
    if (znz_isnull(f)) throw IoError(path + ": cannot open the image data");
    const bool ok = znzseek(f, znz_off_t(nim->iname_offset), SEEK_SET) >= 0 &&
                    znzread(raw.data(), 1, bytes, f) == bytes;
    znzclose(f);
    if (!ok) throw IoError(path + ": truncated NIfTI data");
    if (nim->byteorder != nifti_short_order() && nim->nbyper > 1)
        nifti_swap_Nbytes(std::int64_t(count), nim->nbyper, raw.data());
    return raw;
}

// The samples of `nim` as stored, in the machine's byte order. Single files are read whole
// here (`bytes` keeps the storage); header and image pairs through the library's streams.
const void* loadSamples(nifti_image* nim, const std::string& path, Bytes& bytes) {
    const std::size_t dataBytes = std::size_t(nim->nvox) * std::size_t(nim->nbyper);
    if (nim->nifti_type != NIFTI_FTYPE_NIFTI1_1 && nim->nifti_type != NIFTI_FTYPE_NIFTI2_1) {
        const std::vector<char> raw = readRawSamples(path, nim, std::size_t(nim->nvox));
        bytes.assign(raw.begin(), raw.end());
        return bytes.data();
    }
    if (nim->iname_offset < 0) throw IoError(path + ": wrong NIfTI data offset");
    const std::size_t offset = static_cast<std::size_t>(nim->iname_offset);
    bytes = readWholeFile(path);
    // zlib, and so the library, also reads a .gz name holding plain bytes: so does this.
    const bool gzip = bytes.size() >= 2 && bytes[0] == 0x1f && bytes[1] == 0x8b;
    if (endsWithGz(path) && gzip) bytes = gunzipPrefix(bytes, offset + dataBytes, path);
    if (bytes.size() < offset + dataBytes)
        throw IoError(path + ": truncated NIfTI data (" + std::to_string(offset + dataBytes) +
                      " bytes expected, " + std::to_string(bytes.size()) + " found)");
    unsigned char* data = bytes.data() + offset;
    if (nim->nbyper > 1 && nim->byteorder != nifti_short_order())
        nifti_swap_Nbytes(nim->nvox, nim->nbyper, data);
    return data;
}

/// NIfTI applies scl_slope/scl_inter only when the slope is finite and non-zero.
bool scaled(const nifti_image* nim) {
    return std::isfinite(nim->scl_slope) && nim->scl_slope != 0.0 && std::isfinite(nim->scl_inter);
}

/// NIfTI version (1 or 2) of the header of a file, 0 when it has none.
int headerVersion(const std::string& path) {
    int version = 0;
    void* header = nifti_read_header(path.c_str(), &version, 0);
    std::free(header);
    return header ? version : 0;
}

class NiftiFile : public VolumeFile {
public:
    NiftiPtr header;  // header only (data freed after reading)

    const char* format() const override { return "NIfTI"; }

    void write(const std::string& path, const std::vector<float>& data,
               bool asFloat32) const override {
        NiftiPtr out(nifti_copy_nim_info(header.get()));
        if (!out) throw IoError(path + ": cannot copy the NIfTI header (out of memory)");
        SampleType t = type;
        double slope = scaled(out.get()) ? out->scl_slope : 0.0;
        double inter = scaled(out.get()) ? out->scl_inter : 0.0;
        if (asFloat32) {
            t = SampleType::F32;
            out->datatype = DT_FLOAT32;
            out->nbyper = 4;
            out->scl_slope = 1.0;
            out->scl_inter = 0.0;
            slope = 0.0;
            inter = 0.0;
        }
        if (nifti_set_filenames(out.get(), path.c_str(), 0, 1) != 0)
            throw IoError(path + ": not a valid NIfTI file name");
        // The library reports NIfTI-2 files as NIfTI-1 ones: the version comes from the file.
        out->nifti_type = version == 2 ? NIFTI_FTYPE_NIFTI2_1 : NIFTI_FTYPE_NIFTI1_1;
        Bytes bytes = niftiFileBytes(out.get(), path);
        const std::size_t offset = bytes.size();
        bytes.resize(offset + data.size() * sampleBytes(t));
        encodeSamples(data, t, slope, inter, bytes.data() + offset);
        if (endsWithGz(path)) bytes = gzipBytes(bytes, path, writeThreads);
        writeWholeFile(path, bytes);
    }

    int version = 1;  ///< NIfTI version of the source file (1 or 2), kept when writing
};

}  // namespace

std::unique_ptr<VolumeFile> readNifti(const std::string& path) {
    nifti_set_debug_level(0);  // our own one-line messages replace the library's
    FILE* probe = std::fopen(path.c_str(), "rb");
    if (!probe) throw IoError(path + ": cannot open file");
    std::fclose(probe);
    // Header and extensions only: the library's loader replaces NaN and infinite floats by 0,
    // but they mean "no data" here and must survive, so the samples are read as stored.
    NiftiPtr nim(nifti_image_read(path.c_str(), 0));
    if (!nim)
        throw IoError(path +
                      ": not a readable NIfTI file (no NIfTI-1 or NIfTI-2 header: the file is "
                      "truncated, corrupt or in another format)");

    auto file = std::make_unique<NiftiFile>();
    if (!typeOfDatatype(nim->datatype, &file->type))
        throw IoError(path + ": unsupported NIfTI data type " +
                      std::string(nifti_datatype_string(nim->datatype)) +
                      " (use integer or real scalar voxels)");
    for (int d = 5; d <= 7; ++d)
        if (nim->ndim >= d && nim->dim[d] > 1)
            throw IoError(path + ": wrong dimensions: " + std::to_string(nim->ndim) +
                          "-D image (at most 4-D)");
    const std::int64_t dims[4] = {nim->nx, nim->ny, nim->ndim >= 3 ? nim->nz : 1,
                                  nim->ndim >= 4 ? nim->nt : 1};
    for (int d = 0; d < 4; ++d) {
        if (dims[d] < 1) throw IoError(path + ": wrong dimensions (empty axis)");
        file->dims[d] = dims[d];
    }
    if (nim->ndim < 2 || dims[1] < 2)
        throw IoError(path + ": wrong dimensions: 1-D data (2-D, 3-D or 4-D needed)");
    const std::size_t count = std::size_t(dims[0] * dims[1] * dims[2] * dims[3]);
    if (std::int64_t(count) != nim->nvox) throw IoError(path + ": inconsistent NIfTI dimensions");
    Bytes bytes;
    const void* samples = loadSamples(nim.get(), path, bytes);
    const bool s = scaled(nim.get());
    file->values = decodeSamples(samples, count, file->type, s ? nim->scl_slope : 0.0,
                                 s ? nim->scl_inter : 0.0);
    file->header = std::move(nim);
    file->version = headerVersion(path) == 2 ? 2 : 1;
    return file;
}

}  // namespace cli
}  // namespace kelvo
