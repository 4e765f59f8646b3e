#include "support/SoundFontWriter.h"

#include <cstring>
#include <string>

namespace test {
namespace {

void put16(Bytes &b, unsigned v) {
    b.push_back(std::uint8_t(v));
    b.push_back(std::uint8_t(v >> 8));
}
void put32(Bytes &b, std::uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}
void name(Bytes &b, const char *text, std::size_t size = 20) {
    for (std::size_t i = 0; i < size; ++i)
        b.push_back(i < std::strlen(text) ? std::uint8_t(text[i]) : 0);
}
Bytes chunk(const char *id, const Bytes &body) {
    Bytes b(id, id + 4);
    put32(b, std::uint32_t(body.size()));
    b.insert(b.end(), body.begin(), body.end());
    if (body.size() & 1)
        b.push_back(0);
    return b;
}
Bytes list(const char *type, const std::vector<Bytes> &chunks) {
    Bytes body(type, type + 4);
    for (const Bytes &c : chunks)
        body.insert(body.end(), c.begin(), c.end());
    return chunk("LIST", body);
}

} // namespace

Bytes squareSoundFont(int bank, int program) {
    constexpr int kPeriod = 100, kLength = 1000;
    Bytes samples;
    for (int i = 0; i < kLength + 46; ++i) // 46 zero points end every sample
        put16(samples, i >= kLength ? 0 : (i % kPeriod < kPeriod / 2 ? 30000 : 0x10000 - 30000));

    Bytes phdr, pbag, pmod(10, 0), pgen, inst, ibag, imod(10, 0), igen, shdr;
    name(phdr, "Square");
    put16(phdr, unsigned(program));
    put16(phdr, unsigned(bank));
    put16(phdr, 0);
    put32(phdr, 0), put32(phdr, 0), put32(phdr, 0);
    name(phdr, "EOP");
    put16(phdr, 0), put16(phdr, 0), put16(phdr, 1);
    put32(phdr, 0), put32(phdr, 0), put32(phdr, 0);
    put16(pbag, 0), put16(pbag, 0);  // the preset's zone
    put16(pbag, 1), put16(pbag, 0);  // the end
    put16(pgen, 41), put16(pgen, 0); // instrument 0
    put16(pgen, 0), put16(pgen, 0);
    name(inst, "Square");
    put16(inst, 0);
    name(inst, "EOI");
    put16(inst, 1);
    put16(ibag, 0), put16(ibag, 0);
    put16(ibag, 2), put16(ibag, 0);
    put16(igen, 54), put16(igen, 1); // loop while the key is held
    put16(igen, 53), put16(igen, 0); // sample 0, last as the format wants
    put16(igen, 0), put16(igen, 0);
    name(shdr, "Square");
    put32(shdr, 0), put32(shdr, kLength), put32(shdr, kPeriod), put32(shdr, kLength - kPeriod);
    put32(shdr, 44100);
    shdr.push_back(60), shdr.push_back(0);
    put16(shdr, 0), put16(shdr, 1); // mono
    name(shdr, "EOS");
    for (int i = 0; i < 26; ++i)
        shdr.push_back(0);

    Bytes ifil;
    put16(ifil, 2), put16(ifil, 1);
    Bytes isng, inam;
    name(isng, "EMU8000", 8);
    name(inam, "Square test", 12);
    const Bytes body = [&] {
        Bytes b{'s', 'f', 'b', 'k'};
        for (const Bytes &part :
             {list("INFO", {chunk("ifil", ifil), chunk("isng", isng), chunk("INAM", inam)}),
              list("sdta", {chunk("smpl", samples)}),
              list("pdta", {chunk("phdr", phdr), chunk("pbag", pbag), chunk("pmod", pmod),
                            chunk("pgen", pgen), chunk("inst", inst), chunk("ibag", ibag),
                            chunk("imod", imod), chunk("igen", igen), chunk("shdr", shdr)})})
            b.insert(b.end(), part.begin(), part.end());
        return b;
    }();
    return chunk("RIFF", body);
}

} // namespace test
