// Walks arbitrary bytes as nested DER: every constructed value (bit 0x20 of the tag) is read
// again as a sequence of TLVs, down to a fixed depth. Checks the reader never reads past its
// buffer, always advances on success, and that re-encoding what it read with the writer gives
// the same contents (for bodies the writer can encode).
#include "core/der_reader.h"
#include "core/der_writer.h"

#include <cstdint>
#include <cstdlib>

namespace {

void walk(velurio::Bytes bytes, int depth) {
    velurio::DERReader reader(std::move(bytes));
    while (!reader.isAtEnd()) {
        const std::ptrdiff_t before = reader.offset();
        auto tlv = reader.readTLV();
        if (!tlv) {
            if (reader.offset() < before ||
                static_cast<std::size_t>(reader.offset()) > reader.data().size()) {
                std::abort();
            }
            return;
        }
        if (reader.offset() <= before ||
            static_cast<std::size_t>(reader.offset()) > reader.data().size()) {
            std::abort();
        }
        if (tlv->body.size() <= velurio::DERWriter::kMaxContentLength) {
            const velurio::Bytes again = velurio::DERWriter::tlv(tlv->tag, tlv->body);
            velurio::DERReader check(again);
            auto reread = check.readTLV();
            if (!reread || reread.value() != tlv.value() || !check.isAtEnd()) {
                std::abort();
            }
        }
        if ((tlv->tag & 0x20) != 0 && depth < 32) {
            walk(std::move(tlv->body), depth + 1);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    walk(velurio::Bytes(data, data + size), 0);
    velurio::DERReader reader(velurio::Bytes(data, data + size));
    (void)reader.expect(0x30);
    return 0;
}
