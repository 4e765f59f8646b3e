// Marking a loop file's loop: in its header as it is written (WAVE, RF64,
// AIFF), or in its comments once it is whole (FLAC, Ogg Vorbis, Opus).
#include "render/LoopFile.h"

#include <ogg/ogg.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

namespace render {
namespace {

using Bytes = std::vector<unsigned char>;

std::int64_t framesAt(std::int64_t us, int rate) {
    return (us * rate + 500000) / 1000000;
}

// `value`'s last `bytes` bytes (1 to 4), the most significant first.
void putBig(Bytes &out, std::uint32_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i)
        out.push_back((unsigned char)(value >> (8 * i)));
}

std::uint32_t little(const unsigned char *p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

void putLittle(Bytes &out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out.push_back((unsigned char)(value >> (8 * i)));
}

std::string setChunk(SNDFILE *file, const char *id, Bytes &data) {
    SF_CHUNK_INFO chunk{};
    std::strncpy(chunk.id, id, sizeof chunk.id - 1);
    chunk.id_size = unsigned(std::strlen(id));
    chunk.datalen = unsigned(data.size());
    chunk.data = data.data();
    if (sf_set_chunk(file, &chunk) != SF_ERR_NO_ERROR)
        return std::string("its ") + id + " chunk cannot be written: " + sf_strerror(file);
    return {};
}

// AIFF: two markers, and an instrument whose sustain loop runs between
// them, forwards.
std::string markAiff(SNDFILE *file, const LoopFrames &loop) {
    Bytes marks;
    putBig(marks, 2, 2);
    const struct {
        std::uint32_t id;
        std::int64_t frame;
        const char *name;
    } markers[] = {{1, loop.start, "loop start"}, {2, loop.start + loop.length, "loop end"}};
    for (const auto &m : markers) {
        putBig(marks, m.id, 2);
        putBig(marks, std::uint32_t(m.frame), 4);
        const std::size_t n = std::strlen(m.name);
        marks.push_back((unsigned char)n);
        marks.insert(marks.end(), m.name, m.name + n);
        if ((n + 1) % 2)
            marks.push_back(0); // a Pascal string fills an even count of bytes
    }
    Bytes instrument = {60, 0, 0, 127, 1, 127, 0, 0};
    putBig(instrument, 1, 2); // the sustain loop: forwards, from marker 1 to 2
    putBig(instrument, 1, 2);
    putBig(instrument, 2, 2);
    for (int i = 0; i < 3; ++i)
        putBig(instrument, 0, 2); // no release loop
    std::string why = setChunk(file, "MARK", marks);
    return why.empty() ? setChunk(file, "INST", instrument) : why;
}

// The comment list of a Vorbis comment block, `at` bytes into `block`,
// with the loop's comments added; false when it is not well formed.
bool addComments(Bytes &block, std::size_t at, const std::vector<std::string> &comments) {
    if (block.size() < at + 8)
        return false;
    std::size_t p = at + 4 + little(&block[at]);
    if (p + 4 > block.size())
        return false;
    const std::size_t countAt = p;
    const std::uint32_t count = little(&block[countAt]);
    p += 4;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (p + 4 > block.size() || little(&block[p]) > block.size() - p - 4)
            return false;
        p += 4 + little(&block[p]);
    }
    Bytes added;
    for (const std::string &comment : comments) {
        putLittle(added, std::uint32_t(comment.size()));
        added.insert(added.end(), comment.begin(), comment.end());
    }
    block.insert(block.begin() + std::ptrdiff_t(p), added.begin(), added.end());
    const std::uint32_t more = count + std::uint32_t(comments.size());
    for (int i = 0; i < 4; ++i)
        block[countAt + std::size_t(i)] = (unsigned char)(more >> (8 * i));
    return true;
}

// FLAC: the comments go into its VORBIS_COMMENT block, made after its
// STREAMINFO when it has none. The frames are not touched.
std::string commentFlac(Bytes &file, const std::vector<std::string> &comments) {
    if (file.size() < 8 || std::memcmp(file.data(), "fLaC", 4) != 0)
        return "it is not a FLAC stream";
    struct Block {
        unsigned char type;
        Bytes data;
    };
    std::vector<Block> blocks;
    std::size_t p = 4;
    for (bool last = false; !last;) {
        if (p + 4 > file.size())
            return "its metadata is cut short";
        last = file[p] & 0x80;
        const std::size_t length =
            std::size_t(file[p + 1]) << 16 | std::size_t(file[p + 2]) << 8 | file[p + 3];
        if (p + 4 + length > file.size())
            return "its metadata is cut short";
        blocks.push_back({(unsigned char)(file[p] & 0x7F),
                          Bytes(file.begin() + std::ptrdiff_t(p + 4),
                                file.begin() + std::ptrdiff_t(p + 4 + length))});
        p += 4 + length;
    }
    auto comment =
        std::find_if(blocks.begin(), blocks.end(), [](const Block &b) { return b.type == 4; });
    if (comment == blocks.end()) {
        Bytes empty;
        const std::string vendor = "Kestrune";
        putLittle(empty, std::uint32_t(vendor.size()));
        empty.insert(empty.end(), vendor.begin(), vendor.end());
        putLittle(empty, 0);
        comment = blocks.insert(blocks.begin() + 1, Block{4, empty});
    }
    if (!addComments(comment->data, 0, comments))
        return "its comment block is not well formed";
    Bytes out(file.begin(), file.begin() + 4);
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        out.push_back((unsigned char)(blocks[i].type | (i + 1 == blocks.size() ? 0x80 : 0)));
        putBig(out, std::uint32_t(blocks[i].data.size()), 3);
        out.insert(out.end(), blocks[i].data.begin(), blocks[i].data.end());
    }
    out.insert(out.end(), file.begin() + std::ptrdiff_t(p), file.end());
    file = std::move(out);
    return {};
}

// Ogg Vorbis and Opus: the comment header packet is rewritten and the
// header packets paged again; the sound's pages follow as they were,
// numbered on from them.
std::string commentOgg(Bytes &file, const std::vector<std::string> &comments) {
    ogg_sync_state sync;
    ogg_sync_init(&sync);
    char *buffer = ogg_sync_buffer(&sync, long(file.size()));
    std::memcpy(buffer, file.data(), file.size());
    ogg_sync_wrote(&sync, long(file.size()));
    std::vector<ogg_page> pages;
    for (ogg_page page; ogg_sync_pageout(&sync, &page) == 1;)
        pages.push_back(page);
    std::string why;
    ogg_stream_state in, out;
    const int serial = pages.empty() ? 0 : ogg_page_serialno(&pages[0]);
    ogg_stream_init(&in, serial);
    ogg_stream_init(&out, serial);
    std::vector<Bytes> headers;
    std::size_t needed = 3, headerPages = 0;
    for (; headerPages < pages.size() && headers.size() < needed; ++headerPages) {
        if (ogg_page_serialno(&pages[headerPages]) != serial) {
            why = "it holds more than one stream";
            break;
        }
        ogg_stream_pagein(&in, &pages[headerPages]);
        for (ogg_packet packet; ogg_stream_packetout(&in, &packet) == 1;) {
            headers.emplace_back(packet.packet, packet.packet + packet.bytes);
            if (headers.size() == 1 && packet.bytes >= 8 &&
                std::memcmp(packet.packet, "OpusHead", 8) == 0)
                needed = 2;
        }
    }
    const bool opus = needed == 2;
    const bool sharedPage = headerPages < pages.size() && ogg_page_continued(&pages[headerPages]);
    if (why.empty() && (headers.size() != needed || sharedPage))
        why = "its headers are not where they belong";
    if (why.empty() && !addComments(headers[1], opus ? 8 : 7, comments))
        why = "its comment header is not well formed";
    Bytes rewritten;
    auto append = [&rewritten](const ogg_page &page) {
        rewritten.insert(rewritten.end(), page.header, page.header + page.header_len);
        rewritten.insert(rewritten.end(), page.body, page.body + page.body_len);
    };
    long newPages = 0;
    for (std::size_t i = 0; why.empty() && i < headers.size(); ++i) {
        ogg_packet packet{};
        packet.packet = headers[i].data();
        packet.bytes = long(headers[i].size());
        packet.b_o_s = i == 0;
        packet.packetno = ogg_int64_t(i);
        ogg_stream_packetin(&out, &packet);
        // The first header alone on the first page, the others after it.
        if (i == 0 || i + 1 == headers.size())
            for (ogg_page page; ogg_stream_flush(&out, &page) != 0; ++newPages)
                append(page);
    }
    for (std::size_t i = headerPages; why.empty() && i < pages.size(); ++i) {
        Bytes header(pages[i].header, pages[i].header + pages[i].header_len);
        const long number = ogg_page_pageno(&pages[i]) - long(headerPages) + newPages;
        for (int k = 0; k < 4; ++k)
            header[18 + std::size_t(k)] = (unsigned char)(number >> (8 * k));
        ogg_page page = pages[i];
        page.header = header.data();
        ogg_page_checksum_set(&page);
        append(page);
    }
    ogg_stream_clear(&in);
    ogg_stream_clear(&out);
    ogg_sync_clear(&sync);
    if (why.empty())
        file = std::move(rewritten);
    return why;
}

} // namespace

LoopFrames loopFramesOf(const Loop &loop, int rate) {
    LoopFrames frames;
    // The second pass follows the intro and the first, a period later.
    frames.start = framesAt(loop.startUs, rate);
    frames.length = std::llround(loop.period() * rate / 1e6);
    frames.from = frames.start + frames.length;
    return frames;
}

bool marksLoops(Container container) {
    return container != Container::Mp3 && container != Container::W64;
}

std::string markLoopInHeader(SNDFILE *file, Container container, int rate, const LoopFrames &loop) {
    if (loop.start + loop.length > 0xFFFFFFFFLL)
        return "its loop ends past the frames a loop can name (2^32)";
    if (container == Container::Aiff)
        return markAiff(file, loop);
    if (container != Container::Wav && container != Container::Rf64)
        return {};
    // A sampler loop (smpl): no maker, the rate's sample period, middle C,
    // and one loop forwards, for ever, from its first frame to its last.
    Bytes sampler;
    for (const std::uint32_t value :
         {0u, 0u, std::uint32_t(1e9 / rate + 0.5), 60u, 0u, 0u, 0u, 1u, 0u, 0u, 0u,
          std::uint32_t(loop.start), std::uint32_t(loop.start + loop.length - 1), 0u, 0u})
        putLittle(sampler, value);
    return setChunk(file, "smpl", sampler);
}

std::string markLoopInComments(int fd, Container container, const LoopFrames &loop) {
    if (container != Container::Flac && container != Container::Ogg && container != Container::Opus)
        return {};
    const off_t size = ::lseek(fd, 0, SEEK_END);
    if (size < 0)
        return std::string("it cannot be read again: ") + std::strerror(errno);
    Bytes file(static_cast<std::size_t>(size));
    for (std::size_t done = 0; done < file.size();) {
        const ssize_t n = ::pread(fd, file.data() + done, file.size() - done, off_t(done));
        if (n <= 0)
            return std::string("it cannot be read again: ") +
                   (n < 0 ? std::strerror(errno) : "it is shorter than it was");
        done += std::size_t(n);
    }
    const std::vector<std::string> comments = {"LOOPSTART=" + std::to_string(loop.start),
                                               "LOOPLENGTH=" + std::to_string(loop.length)};
    const std::string why =
        container == Container::Flac ? commentFlac(file, comments) : commentOgg(file, comments);
    if (!why.empty())
        return "its loop comments cannot be written: " + why;
    for (std::size_t done = 0; done < file.size();) {
        const ssize_t n = ::pwrite(fd, file.data() + done, file.size() - done, off_t(done));
        if (n <= 0)
            return std::string("its loop comments cannot be written: ") + std::strerror(errno);
        done += std::size_t(n);
    }
    if (::ftruncate(fd, off_t(file.size())) != 0)
        return std::string("its loop comments cannot be written: ") + std::strerror(errno);
    return {};
}

} // namespace render
