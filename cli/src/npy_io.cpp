// NumPy .npy files (format versions 1.0 to 3.0): little-endian integer and float arrays of 2
// to 4 dimensions. A C-ordered array of shape (..., n1, n0) has its last axis fastest, so it
// maps to dims {n0, n1, ...}; a Fortran-ordered array maps axis i to dimension i.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "volume_io.h"

namespace kelvo {
namespace cli {

namespace {

const char MAGIC[] = "\x93NUMPY";

struct NpyHeader {
    std::string descr;
    bool fortran = false;
    std::vector<std::int64_t> shape;  // as written, slowest axis first for C order
};

SampleType typeOfDescr(const std::string& path, const std::string& descr) {
    if (descr.size() < 3) throw IoError(path + ": unsupported NumPy dtype '" + descr + "'");
    const char order = descr[0];
    const std::string code = descr.substr(1);
    const bool single = code == "u1" || code == "i1";
    if (!single && order == '>')
        throw IoError(path + ": big-endian NumPy arrays are not supported (dtype '" + descr + "')");
    if (order != '<' && order != '|' && order != '=')
        throw IoError(path + ": unsupported NumPy dtype '" + descr + "'");
    if (code == "u1") return SampleType::U8;
    if (code == "i1") return SampleType::I8;
    if (code == "u2") return SampleType::U16;
    if (code == "i2") return SampleType::I16;
    if (code == "u4") return SampleType::U32;
    if (code == "i4") return SampleType::I32;
    if (code == "f4") return SampleType::F32;
    if (code == "f8") return SampleType::F64;
    throw IoError(path + ": unsupported NumPy dtype '" + descr +
                  "' (use uint8/16/32, int8/16/32, float32 or float64)");
}

std::string descrOf(SampleType t) {
    switch (t) {
        case SampleType::U8:
            return "|u1";
        case SampleType::I8:
            return "|i1";
        case SampleType::U16:
            return "<u2";
        case SampleType::I16:
            return "<i2";
        case SampleType::U32:
            return "<u4";
        case SampleType::I32:
            return "<i4";
        case SampleType::F32:
            return "<f4";
        case SampleType::F64:
            return "<f8";
    }
    return "<f4";
}

/// Parses the Python dict literal of the header: {'descr': '<f4', 'fortran_order': False,
/// 'shape': (2, 3), }
NpyHeader parseHeader(const std::string& path, const std::string& text) {
    NpyHeader h;
    auto valueAfter = [&](const char* key) -> std::size_t {
        const std::size_t k = text.find(key);
        if (k == std::string::npos)
            throw IoError(path + ": malformed NumPy header (no " + std::string(key) + ")");
        const std::size_t colon = text.find(':', k);
        if (colon == std::string::npos) throw IoError(path + ": malformed NumPy header");
        return text.find_first_not_of(" ", colon + 1);
    };
    std::size_t p = valueAfter("'descr'");
    if (p == std::string::npos || (text[p] != '\'' && text[p] != '"'))
        throw IoError(path + ": unsupported NumPy dtype (structured arrays are not supported)");
    const std::size_t end = text.find(text[p], p + 1);
    if (end == std::string::npos) throw IoError(path + ": malformed NumPy header");
    h.descr = text.substr(p + 1, end - p - 1);
    p = valueAfter("'fortran_order'");
    h.fortran = text.compare(p, 4, "True") == 0;
    p = valueAfter("'shape'");
    if (p == std::string::npos || text[p] != '(') throw IoError(path + ": malformed NumPy header");
    const std::size_t close = text.find(')', p);
    if (close == std::string::npos) throw IoError(path + ": malformed NumPy header");
    std::stringstream ss(text.substr(p + 1, close - p - 1));
    std::string item;
    while (std::getline(ss, item, ',')) {
        if (item.find_first_not_of(" ") == std::string::npos) continue;
        try {
            const long long v = std::stoll(item);
            if (v < 0) throw IoError(path + ": malformed NumPy shape");
            h.shape.push_back(v);
        } catch (const std::logic_error&) {
            throw IoError(path + ": malformed NumPy shape");
        }
    }
    return h;
}

class NpyFile : public VolumeFile {
public:
    NpyHeader header;

    const char* format() const override { return "NumPy"; }

    void write(const std::string& path, const std::vector<float>& data,
               bool asFloat32) const override {
        NpyHeader h = header;
        const SampleType t = asFloat32 ? SampleType::F32 : type;
        h.descr = descrOf(t);
        writeArray(path, h, t, data);
    }

    static void writeArray(const std::string& path, const NpyHeader& h, SampleType t,
                           const std::vector<float>& data) {
        std::string dict = "{'descr': '" + h.descr +
                           "', 'fortran_order': " + (h.fortran ? "True" : "False") + ", 'shape': (";
        for (std::size_t i = 0; i < h.shape.size(); ++i)
            dict += std::to_string(h.shape[i]) +
                    (h.shape.size() == 1 || i + 1 < h.shape.size() ? ", " : "");
        dict += "), }";
        // Magic (6) + version (2) + length (2) + dict + padding + '\n' is a multiple of 64.
        std::size_t total = 10 + dict.size() + 1;
        const std::size_t pad = (64 - total % 64) % 64;
        dict.append(pad, ' ');
        dict += '\n';
        std::vector<char> samples(data.size() * sampleBytes(t));
        encodeSamples(data, t, 0.0, 0.0, samples.data());

        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!out) throw IoError(path + ": cannot create file");
        out.write(MAGIC, 6);
        const char version[2] = {1, 0};
        out.write(version, 2);
        const std::uint16_t len = static_cast<std::uint16_t>(dict.size());
        const char lenBytes[2] = {char(len & 0xff), char(len >> 8)};
        out.write(lenBytes, 2);
        out.write(dict.data(), std::streamsize(dict.size()));
        out.write(samples.data(), std::streamsize(samples.size()));
        out.flush();
        if (!out) throw IoError(path + ": write failed (disk full?)");
    }
};

}  // namespace

std::unique_ptr<VolumeFile> readNpy(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw IoError(path + ": cannot open file");
    char magic[6];
    unsigned char version[2];
    in.read(magic, 6);
    in.read(reinterpret_cast<char*>(version), 2);
    if (!in || std::memcmp(magic, MAGIC, 6) != 0) throw IoError(path + ": not a NumPy .npy file");
    std::size_t headerLen = 0;
    if (version[0] == 1) {
        unsigned char b[2];
        in.read(reinterpret_cast<char*>(b), 2);
        headerLen = b[0] | (std::size_t(b[1]) << 8);
    } else if (version[0] == 2 || version[0] == 3) {
        unsigned char b[4];
        in.read(reinterpret_cast<char*>(b), 4);
        headerLen =
            b[0] | (std::size_t(b[1]) << 8) | (std::size_t(b[2]) << 16) | (std::size_t(b[3]) << 24);
    } else {
        throw IoError(path + ": unsupported NumPy format version " + std::to_string(version[0]));
    }
    if (!in || headerLen > (1u << 20)) throw IoError(path + ": malformed NumPy header");
    std::string text(headerLen, '\0');
    in.read(&text[0], std::streamsize(headerLen));
    if (!in) throw IoError(path + ": truncated NumPy header");

    auto file = std::make_unique<NpyFile>();
    file->header = parseHeader(path, text);
    file->type = typeOfDescr(path, file->header.descr);
    const std::vector<std::int64_t>& shape = file->header.shape;
    if (shape.size() < 2 || shape.size() > 4)
        throw IoError(path + ": wrong dimensions: " + std::to_string(shape.size()) +
                      "-D array (2-D, 3-D or 4-D needed)");
    std::size_t count = 1;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const std::int64_t n = shape[i];
        if (n < 1 || n > (std::int64_t(1) << 31))
            throw IoError(path + ": wrong dimensions: empty or huge axis");
        const std::size_t d = file->header.fortran ? i : shape.size() - 1 - i;
        file->dims[d] = n;
        count *= std::size_t(n);
    }
    const std::size_t bytes = count * sampleBytes(file->type);
    std::vector<char> raw(bytes);
    in.read(raw.data(), std::streamsize(bytes));
    if (std::size_t(in.gcount()) != bytes)
        throw IoError(path + ": truncated data (" + std::to_string(in.gcount()) + " of " +
                      std::to_string(bytes) + " bytes)");
    file->values = decodeSamples(raw.data(), count, file->type, 0.0, 0.0);
    file->arrayShape = shape;
    file->fortranOrder = file->header.fortran;
    return file;
}

void writeNpyFloat(const std::string& path, const std::vector<std::int64_t>& shapeFastestFirst,
                   const std::vector<float>& values) {
    NpyHeader h;
    h.descr = "<f4";
    h.shape.assign(shapeFastestFirst.rbegin(), shapeFastestFirst.rend());
    NpyFile::writeArray(path, h, SampleType::F32, values);
}

}  // namespace cli
}  // namespace kelvo
