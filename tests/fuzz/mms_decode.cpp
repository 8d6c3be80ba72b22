// Fuzz target: one MMS PDU (and the same bytes as a lone Data value and type
// description). Whatever decodes must re-encode to bytes that decode to the
// same encoding again.
#include "iec61850/mms/pdu.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

using namespace iec61850;

void require(bool condition)
{
    if (!condition)
        std::abort();
}

template <typename T, typename Decode, typename Encode>
void roundTrip(ByteView bytes, Decode decode, Encode encode)
{
    T first;
    if (decode(bytes, first) != ber::Status::Ok)
        return;
    const Bytes once = encode(first);
    T second;
    require(decode(ByteView(once), second) == ber::Status::Ok);
    require(encode(second) == once);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const ByteView bytes(data, size);
    roundTrip<mms::Pdu>(
        bytes, [](ByteView b, mms::Pdu& p) { return mms::decodePdu(b, p); },
        [](const mms::Pdu& p) { return mms::encodePdu(p); });
    roundTrip<mms::Value>(
        bytes, [](ByteView b, mms::Value& v) { return mms::Value::decodeData(b, v); },
        [](const mms::Value& v) { return v.encode(); });
    roundTrip<mms::TypeDescription>(
        bytes, [](ByteView b, mms::TypeDescription& t) { return mms::TypeDescription::decode(b, t); },
        [](const mms::TypeDescription& t) { return t.encode(); });
    mms::peekInvokeId(bytes);
    return 0;
}
