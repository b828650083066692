// The tool's file formats: sample conversion with scaling, rounding and clamping; NumPy,
// NIfTI and TIFF round trips that keep data type, layout and header; malformed files.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>

#include "kelvo/synthetic.h"
#include "test_files.h"
#include "volume_io.h"

namespace kelvo {
namespace cli {
namespace {

std::string tempPath(const std::string& name) {
    return ::testing::TempDir() + "kelvo_io_" + std::to_string(getpid()) + "_" + name;
}

/// A version-1.0 .npy file with the given dtype, shape literal and raw little-endian data.
void writeRawNpy(const std::string& path, const std::string& descr, const std::string& shape,
                 const std::vector<char>& raw, bool fortran = false) {
    std::string dict = "{'descr': '" + descr +
                       "', 'fortran_order': " + (fortran ? "True" : "False") +
                       ", 'shape': " + shape + ", }";
    dict.append(64 - (10 + dict.size() + 1) % 64, ' ');
    dict += '\n';
    std::ofstream o(path, std::ios::binary | std::ios::trunc);
    o.write("\x93NUMPY\x01\x00", 8);
    const char len[2] = {char(dict.size() & 0xff), char(dict.size() >> 8)};
    o.write(len, 2);
    o << dict;
    o.write(raw.data(), std::streamsize(raw.size()));
}

TEST(Samples, ScalingRoundingAndClamping) {
    const std::vector<float> v{-1.0f, 0.0f, 0.2496f, 0.2506f, 1.0f, 100.0f};
    std::vector<std::int16_t> s(v.size());
    // stored = round((v - inter) / slope), clamped to int16.
    encodeSamples(v, SampleType::I16, 0.001, 0.0, s.data());
    EXPECT_EQ(s, (std::vector<std::int16_t>{-1000, 0, 250, 251, 1000, 32767}));
    const std::vector<float> back = decodeSamples(s.data(), s.size(), SampleType::I16, 0.001, 0.0);
    EXPECT_NEAR(back[2], 0.25f, 1e-6f);
    EXPECT_NEAR(back[5], 32.767f, 1e-5f);

    std::vector<std::uint8_t> u(v.size());
    encodeSamples(v, SampleType::U8, 0.0, 0.0, u.data());  // slope 0: no scaling
    EXPECT_EQ(u, (std::vector<std::uint8_t>{0, 0, 0, 0, 1, 100}));
    std::vector<std::uint16_t> w(2);
    encodeSamples({-5.0f, 70000.0f}, SampleType::U16, 0.0, 0.0, w.data());
    EXPECT_EQ(w, (std::vector<std::uint16_t>{0, 65535}));
    // Floats with an intercept are stored exactly invertibly (up to float rounding).
    std::vector<float> f(1);
    encodeSamples({3.0f}, SampleType::F32, 2.0, 1.0, f.data());
    EXPECT_FLOAT_EQ(f[0], 1.0f);
}

TEST(Npy, RoundTripKeepsTypeOrderAndShape) {
    const std::string p = tempPath("a.npy");
    std::vector<float> values(5 * 4 * 3);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = float(i) * 0.5f;
    writeNpyFloat(p, {5, 4, 3}, values);  // NumPy shape (3, 4, 5)
    std::unique_ptr<VolumeFile> f = readNpy(p);
    EXPECT_EQ(f->dims, (std::array<std::int64_t, 4>{5, 4, 3, 1}));
    EXPECT_EQ(f->type, SampleType::F32);
    EXPECT_EQ(f->values, values);

    // Every supported dtype survives a read and a rewrite with its type and values.
    struct Typed {
        const char* descr;
        SampleType type;
    };
    for (const Typed& t :
         {Typed{"|u1", SampleType::U8}, Typed{"|i1", SampleType::I8}, Typed{"<u2", SampleType::U16},
          Typed{"<i2", SampleType::I16}, Typed{"<u4", SampleType::U32},
          Typed{"<i4", SampleType::I32}, Typed{"<f8", SampleType::F64}}) {
        std::vector<float> small(12);
        for (std::size_t i = 0; i < small.size(); ++i) small[i] = float(i * 7 % 100);
        std::vector<char> raw(small.size() * sampleBytes(t.type));
        encodeSamples(small, t.type, 0.0, 0.0, raw.data());
        writeRawNpy(p, t.descr, "(3, 4)", raw);
        std::unique_ptr<VolumeFile> typed = readNpy(p);
        EXPECT_EQ(typed->type, t.type) << t.descr;
        EXPECT_EQ(typed->values, small) << t.descr;
        typed->write(p, small, false);
        std::unique_ptr<VolumeFile> again = readNpy(p);
        EXPECT_EQ(again->type, t.type) << t.descr;
        EXPECT_EQ(again->dims, (std::array<std::int64_t, 4>{4, 3, 1, 1})) << t.descr;
        EXPECT_EQ(again->values, small) << t.descr;
    }

    // Fortran order: axis i is dimension i.
    const std::string q = tempPath("f.npy");
    const std::int16_t data[6] = {1, 2, 3, 4, 5, -6};
    writeRawNpy(q, "<i2", "(3, 2)",
                std::vector<char>(reinterpret_cast<const char*>(data),
                                  reinterpret_cast<const char*>(data) + 12),
                true);
    std::unique_ptr<VolumeFile> g = readNpy(q);
    EXPECT_EQ(g->dims, (std::array<std::int64_t, 4>{3, 2, 1, 1}));
    EXPECT_EQ(g->type, SampleType::I16);
    EXPECT_EQ(g->values, (std::vector<float>{1, 2, 3, 4, 5, -6}));
    g->write(q, {1.4f, 2.6f, -3.5f, 4, 5, 40000}, false);
    std::unique_ptr<VolumeFile> h = readNpy(q);
    EXPECT_EQ(h->type, SampleType::I16);
    EXPECT_EQ(h->values, (std::vector<float>{1, 3, -4, 4, 5, 32767}));
    std::remove(p.c_str());
    std::remove(q.c_str());
}

TEST(Nifti, RoundTripKeepsHeaderVersionTypeAndScaling) {
    const Size3 size{12, 10, 6};
    const std::vector<float> clean = makePhantom(size);
    for (const char* name : {"v.nii", "v.nii.gz", "v2.nii", "v2.nii.gz"}) {
        const bool nifti2 = name[1] == '2';
        const std::string p = tempPath(name), q = tempPath(std::string("out_") + name);
        testfiles::writeNiftiInt16(p, {3, 12, 10, 6}, clean, 0.001, -0.5, nifti2);
        std::unique_ptr<VolumeFile> f = readNifti(p);
        EXPECT_EQ(f->dims, (std::array<std::int64_t, 4>{12, 10, 6, 1}));
        EXPECT_EQ(f->type, SampleType::I16);
        // Physical values within half a quantisation step of the originals.
        for (std::size_t i = 0; i < clean.size(); ++i)
            ASSERT_NEAR(f->values[i], clean[i], 0.0005 + 1e-6) << i;
        f->write(q, f->values, false);
        nifti_image* a = nifti_image_read(p.c_str(), 1);
        nifti_image* b = nifti_image_read(q.c_str(), 1);
        ASSERT_TRUE(a && b);
        EXPECT_EQ(testfiles::niftiVersion(p), nifti2 ? 2 : 1) << name;
        EXPECT_EQ(testfiles::niftiVersion(q), nifti2 ? 2 : 1) << name;  // the version is kept
        EXPECT_EQ(b->datatype, DT_INT16);
        EXPECT_FLOAT_EQ(float(b->scl_slope), 0.001f);  // NIfTI-1 stores it as float32
        EXPECT_FLOAT_EQ(float(b->scl_inter), -0.5f);
        EXPECT_FLOAT_EQ(float(b->pixdim[3]), 2.5f);
        EXPECT_EQ(b->qform_code, 1);
        EXPECT_STREQ(b->descrip, "kelvo test");
        EXPECT_EQ(std::memcmp(a->data, b->data, std::size_t(a->nvox) * 2), 0);
        nifti_image_free(a);
        nifti_image_free(b);

        f->write(q, f->values, true);  // float32 output stores physical values unscaled
        std::unique_ptr<VolumeFile> g = readNifti(q);
        EXPECT_EQ(g->type, SampleType::F32);
        EXPECT_EQ(g->values, f->values);
        EXPECT_EQ(testfiles::niftiVersion(q), nifti2 ? 2 : 1) << name;
        std::remove(p.c_str());
        std::remove(q.c_str());
    }
}

/// Every byte of a file, decompressed if it is gzip (zlib reads plain files unchanged).
std::vector<unsigned char> fileBytes(const std::string& path) {
    std::vector<unsigned char> bytes;
    gzFile f = gzopen(path.c_str(), "rb");
    if (!f) return bytes;
    unsigned char buf[65536];
    int n;
    while ((n = gzread(f, buf, sizeof buf)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    gzclose(f);
    return bytes;
}

/// Values of a float32 file as the NIfTI library loads them (non-finite values become 0).
std::vector<float> libraryValues(const std::string& path) {
    nifti_image* nim = nifti_image_read(path.c_str(), 1);
    if (!nim || !nim->data) return {};
    const float* v = static_cast<const float*>(nim->data);
    std::vector<float> out(v, v + nim->nvox);
    nifti_image_free(nim);
    return out;
}

// The tool reads and writes the samples of single files itself (libdeflate for .nii.gz):
// it must read the samples as stored (NaN and infinities included), and what it writes must
// be, once decompressed, the bytes the library writes for the same header and samples.
TEST(Nifti, OwnSampleReadingAndWritingMatchTheLibrary) {
    const std::int64_t dims[8] = {3, 7, 5, 3, 1, 1, 1, 1};
    const float special[] = {std::numeric_limits<float>::quiet_NaN(),
                             std::numeric_limits<float>::infinity(),
                             -std::numeric_limits<float>::infinity(), -0.0f, 1e-40f};
    struct Case {
        const char* name;
        bool extension;
    };
    for (const Case c : {Case{"a.nii", true}, Case{"b.nii.gz", true}, Case{"d.nii", false}}) {
        SCOPED_TRACE(c.name);
        const std::string p = tempPath(c.name), q = tempPath(std::string("out_") + c.name),
                          r = tempPath(std::string("lib_") + c.name);
        nifti_image* nim = nifti_make_new_nim(dims, DT_FLOAT32, 1);
        ASSERT_TRUE(nim);
        float* v = static_cast<float*>(nim->data);
        for (std::int64_t i = 0; i < nim->nvox; ++i) v[i] = std::sin(0.37f * float(i)) * 100.0f;
        for (int k = 0; k < 5; ++k) v[10 * k + 3] = special[k];
        const std::vector<float> stored(v, v + nim->nvox);
        ASSERT_EQ(nifti_set_filenames(nim, p.c_str(), 0, 1), 0);
        if (c.extension) {
            ASSERT_EQ(nifti_add_extension(nim, "kelvo extension text", 21, 6), 0);
        }
        nifti_image_write(nim);
        nifti_image_free(nim);

        std::unique_ptr<VolumeFile> f = readNifti(p);
        ASSERT_EQ(f->values.size(), stored.size());
        EXPECT_EQ(std::memcmp(f->values.data(), stored.data(), stored.size() * 4), 0);

        f->write(q, f->values, false);
        nifti_image* lib = nifti_image_read(p.c_str(), 0);
        ASSERT_TRUE(lib);
        lib->data = std::malloc(stored.size() * 4);
        std::memcpy(lib->data, stored.data(), stored.size() * 4);
        ASSERT_EQ(nifti_set_filenames(lib, r.c_str(), 0, 1), 0);
        nifti_image_write(lib);
        nifti_image_free(lib);
        const std::vector<unsigned char> ours = fileBytes(q), theirs = fileBytes(r);
        EXPECT_GT(ours.size(), 348u);
        EXPECT_TRUE(ours == theirs) << ours.size() << " bytes against " << theirs.size();
        for (const std::string& s : {p, q, r}) std::remove(s.c_str());
    }

    // NIfTI-2 (whose writing the library gets wrong): written so that the library reads the
    // same samples back.
    {
        const std::string v2 = tempPath("v2.nii"), out = tempPath("out_v2.nii.gz");
        nifti_image* nim = nifti_make_new_nim(dims, DT_FLOAT32, 1);
        ASSERT_TRUE(nim);
        float* v = static_cast<float*>(nim->data);
        for (std::int64_t i = 0; i < nim->nvox; ++i) v[i] = float(i) - 50.0f;
        nifti_2_header h;
        ASSERT_EQ(nifti_convert_nim2n2hdr(nim, &h), 0);
        h.vox_offset = 544;
        std::ofstream o(v2, std::ios::binary);
        o.write(reinterpret_cast<const char*>(&h), sizeof h).write("\0\0\0\0", 4);
        o.write(static_cast<const char*>(nim->data), std::streamsize(nim->nvox * 4));
        o.close();
        nifti_image_free(nim);
        std::unique_ptr<VolumeFile> f = readNifti(v2);
        EXPECT_EQ(f->values, libraryValues(v2));
        f->write(out, f->values, false);
        EXPECT_EQ(libraryValues(out), f->values);
        std::remove(v2.c_str());
        std::remove(out.c_str());
    }

    // A .nii.gz of several compressed parts (1 MiB each): one gzip member, whose checksum and
    // size zlib verifies in a single inflate, the same file bytes on one thread and on three,
    // the zeros of a masked volume compressed away, and the samples read back unchanged.
    {
        const std::int64_t big[8] = {3, 96, 80, 100, 1, 1, 1, 1};  // 3 MB of samples
        nifti_image* nim = nifti_make_new_nim(big, DT_FLOAT32, 1);
        ASSERT_TRUE(nim);
        float* v = static_cast<float*>(nim->data);
        for (std::int64_t i = 0; i < nim->nvox; ++i)  // a tenth of it outside zeros, as masked
            v[i] =
                (i / 20000) % 10 == 0 ? std::sin(0.001f * float(i)) + 0.01f * float(i % 101) : 0.0f;
        const std::string src = tempPath("big.nii"), one = tempPath("big1.nii.gz"),
                          three = tempPath("big3.nii.gz");
        ASSERT_EQ(nifti_set_filenames(nim, src.c_str(), 0, 1), 0);
        nifti_image_write(nim);
        nifti_image_free(nim);
        std::unique_ptr<VolumeFile> f = readNifti(src);
        f->writeThreads = 1;
        f->write(one, f->values, false);
        f->writeThreads = 3;
        f->write(three, f->values, false);
        const auto raw = [](const std::string& path) {
            std::ifstream in(path, std::ios::binary);
            return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
        };
        const std::vector<unsigned char> packed = raw(one), plain = raw(src);
        EXPECT_TRUE(packed == raw(three));
        EXPECT_LT(packed.size(), plain.size() / 8);  // runs of zeros coded as runs
        std::vector<unsigned char> unpacked(plain.size() + 1);
        z_stream z{};
        ASSERT_EQ(inflateInit2(&z, 31), Z_OK);  // gzip wrapper: one member
        z.next_in = const_cast<Bytef*>(packed.data());
        z.avail_in = static_cast<uInt>(packed.size());
        z.next_out = unpacked.data();
        z.avail_out = static_cast<uInt>(unpacked.size());
        EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
        EXPECT_EQ(z.avail_in, 0u);
        EXPECT_EQ(z.total_out, plain.size());
        inflateEnd(&z);
        unpacked.resize(plain.size());
        EXPECT_TRUE(unpacked == plain);
        EXPECT_EQ(readNifti(three)->values, f->values);
        for (const std::string& s : {src, one, three}) std::remove(s.c_str());
    }

    // A big-endian file, and a .nii.gz of two gzip members, read as the library reads them.
    const std::string p = tempPath("e.nii"), swapped = tempPath("swapped.nii"),
                      multi = tempPath("multi.nii.gz");
    testfiles::writeNiftiInt16(p, {3, 12, 10, 6}, makePhantom({12, 10, 6}), 0.001, -0.5);
    std::vector<unsigned char> bytes = fileBytes(p);
    ASSERT_EQ(bytes.size(), 352u + 2 * 720);
    std::vector<unsigned char> be = bytes;
    swap_nifti_header(be.data(), 1);
    for (std::size_t i = 352; i + 1 < be.size(); i += 2) std::swap(be[i], be[i + 1]);
    std::ofstream(swapped, std::ios::binary)
        .write(reinterpret_cast<const char*>(be.data()), std::streamsize(be.size()));
    for (const char* mode : {"wb", "ab"}) {  // "ab" appends a second member
        gzFile g = gzopen(multi.c_str(), mode);
        ASSERT_TRUE(g);
        const std::size_t half = bytes.size() / 2, start = mode[0] == 'w' ? 0 : half;
        gzwrite(g, bytes.data() + start, unsigned(mode[0] == 'w' ? half : bytes.size() - half));
        gzclose(g);
    }
    const std::string plain = tempPath("plain.nii.gz");  // a .gz name, plain bytes
    std::ofstream(plain, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    const std::vector<float> original = readNifti(p)->values;
    EXPECT_EQ(readNifti(swapped)->values, original);
    EXPECT_EQ(readNifti(multi)->values, original);
    EXPECT_EQ(readNifti(plain)->values, original);
    std::remove(plain.c_str());

    // Cut files fail with a message instead of reading garbage.
    for (const std::string& path : {swapped, multi}) {
        std::vector<unsigned char> whole;
        {
            std::ifstream in(path, std::ios::binary);
            whole.assign(std::istreambuf_iterator<char>(in), {});
        }
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(whole.data()), std::streamsize(whole.size() - 40));
        EXPECT_THROW(readNifti(path), IoError) << path;
    }
    for (const std::string& s : {p, swapped, multi}) std::remove(s.c_str());
}

TEST(Tiff, StackRoundTrip) {
    const Size3 size{20, 14, 5};
    const std::vector<float> clean = makePhantom(size);
    const std::string p = tempPath("s.tif"), q = tempPath("o.tif");
    testfiles::writeTiff(p, 20, 14, 5, clean, false, 1000.0);
    std::unique_ptr<VolumeFile> f = readTiff(p);
    EXPECT_EQ(f->dims, (std::array<std::int64_t, 4>{20, 14, 5, 1}));
    EXPECT_EQ(f->type, SampleType::U16);
    for (std::size_t i = 0; i < clean.size(); ++i)
        ASSERT_EQ(f->values[i], float(std::round(double(clean[i]) * 1000.0))) << i;
    f->write(q, f->values, false);
    std::unique_ptr<VolumeFile> g = readTiff(q);
    EXPECT_EQ(g->dims, f->dims);
    EXPECT_EQ(g->type, SampleType::U16);
    EXPECT_EQ(g->values, f->values);
    f->write(q, f->values, true);
    EXPECT_EQ(readTiff(q)->type, SampleType::F32);

    // An RGB page: its samples are dimension 0, the channels of a colour image, and it is
    // written back as RGB. A stack of RGB pages is refused.
    const std::vector<float> rgb(clean.begin(), clean.begin() + 3 * 20 * 14);
    testfiles::writeTiff(p, 20, 14, 1, rgb, false, 1000.0, 3);
    f = readTiff(p);
    EXPECT_EQ(f->dims, (std::array<std::int64_t, 4>{3, 20, 14, 1}));
    EXPECT_EQ(f->channelDim, 0);
    for (std::size_t i = 0; i < rgb.size(); ++i)
        ASSERT_EQ(f->values[i], float(std::round(double(rgb[i]) * 1000.0))) << i;
    f->write(q, f->values, false);
    g = readTiff(q);
    EXPECT_EQ(g->dims, f->dims);
    EXPECT_EQ(g->channelDim, 0);
    EXPECT_EQ(g->values, f->values);
    testfiles::writeTiff(p, 10, 7, 2, rgb, false, 1000.0, 3);
    EXPECT_THROW(readTiff(p), IoError);
    std::remove(p.c_str());
    std::remove(q.c_str());
}

TEST(Formats, MalformedFilesFailWithOneMessage) {
    const std::string p = tempPath("bad.npy");
    std::ofstream(p) << "\x93NUMPY\x01\x00\x10\x00{'descr': '<f4'}";
    EXPECT_THROW(readNpy(p), IoError);
    std::ofstream(p) << "short";
    EXPECT_THROW(readNpy(p), IoError);
    EXPECT_THROW(readVolume(tempPath("missing.nii")), IoError);
    EXPECT_THROW(readVolume(tempPath("missing.tif")), IoError);
    EXPECT_THROW(readVolume(tempPath("x.png")), IoError);
    writeNpyFloat(p, {7}, std::vector<float>(7, 1.0f));
    try {
        readNpy(p);
        FAIL() << "1-D array accepted";
    } catch (const IoError& e) {
        EXPECT_NE(std::string(e.what()).find("wrong dimensions"), std::string::npos);
    }
    std::remove(p.c_str());
}

}  // namespace
}  // namespace cli
}  // namespace kelvo
