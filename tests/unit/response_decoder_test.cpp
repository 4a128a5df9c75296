// The reply decoder gives what nanopb's generic decoder gives, for replies of every shape: the
// common ones it reads itself, and odd, foreign and broken ones it hands over.
#include <gtest/gtest.h>

#include <pb_common.h>
#include <pb_decode.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "protocol/response_decoder.h"
#include "unit/field_tags.h"

using namespace dravenholt;

namespace {

using Bytes = std::vector<uint8_t>;

// What the callbacks saw: each call's bytes, field by field. A callback takes at most `bite`
// bytes per call, so the decoders' call-again loops are compared too; a chosen byte value makes
// it fail (0xEE on its own, 0xEF reading beyond the field).
struct Seen {
    std::vector<std::pair<char, Bytes>> calls;
    size_t bite = 3;
};

bool record(pb_istream_t* stream, char which, void** arg) {
    auto* seen = static_cast<Seen*>(*arg);
    Bytes got(std::min(stream->bytes_left, seen->bite));
    if (!pb_read(stream, got.data(), got.size())) return false;
    seen->calls.emplace_back(which, got);
    if (!got.empty() && got[0] == 0xEF) {  // fails reading beyond the field, with nanopb's message
        uint8_t beyond[16];
        return pb_read(stream, beyond, std::min<size_t>(stream->bytes_left + 1, sizeof beyond));
    }
    return got.empty() || got[0] != 0xEE;
}
bool recordData(pb_istream_t* s, const pb_field_t*, void** arg) { return record(s, 'd', arg); }
bool recordAttributes(pb_istream_t* s, const pb_field_t*, void** arg) { return record(s, 'a', arg); }

struct Outcome {
    bool ok;
    std::string error;
    FunctionResponse response;
    Seen seen;
};

template <class Decode>
Outcome decodeWith(size_t bite, bool callbacks, Decode decode) {
    Outcome out{};
    out.seen.bite = bite;
    out.response = FunctionResponse_init_zero;
    if (callbacks) {
        out.response.data = {{recordData}, &out.seen};
        out.response.attributes = {{recordAttributes}, &out.seen};
    }
    const char* error = nullptr;
    out.ok = decode(out.response, error);
    out.error = error ? error : "";
    return out;
}

void expectSameAsNanopb(const Bytes& reply, size_t bite, bool callbacks) {
    Outcome generic = decodeWith(bite, callbacks, [&](FunctionResponse& r, const char*& error) {
        pb_istream_t in = pb_istream_from_buffer(reply.data(), reply.size());
        bool ok = pb_decode_ex(&in, FunctionResponse_fields, &r, PB_DECODE_NOINIT);
        error = in.errmsg;
        return ok;
    });
    Outcome fast = decodeWith(bite, callbacks, [&](FunctionResponse& r, const char*& error) {
        return decodeResponse(reply.data(), reply.size(), r, error);
    });
    ASSERT_EQ(fast.ok, generic.ok);
    EXPECT_EQ(fast.error, generic.error);
    EXPECT_EQ(fast.seen.calls, generic.seen.calls);
    const FunctionResponse &a = fast.response, &b = generic.response;
    EXPECT_EQ(a.rv, b.rv);
    EXPECT_EQ(std::tie(a.has_handle, a.handle, a.has_length, a.length, a.has_handle2, a.handle2),
              std::tie(b.has_handle, b.handle, b.has_length, b.length, b.has_handle2, b.handle2));
    EXPECT_EQ(std::tie(a.has_sessionInfo, a.sessionInfo.state, a.has_config, a.config.value2, a.has_tokenInfo),
              std::tie(b.has_sessionInfo, b.sessionInfo.state, b.has_config, b.config.value2, b.has_tokenInfo));
}

void varint(Bytes& out, uint64_t value) {
    do {
        out.push_back(static_cast<uint8_t>((value & 0x7F) | (value > 0x7F ? 0x80 : 0)));
        value >>= 7;
    } while (value);
}

// A reply of random fields: mostly the common ones, sometimes foreign numbers, wrong wire
// types, numbers beyond 32 bits or padded varints, the information submessages, then perhaps
// cut short or with a byte changed.
Bytes randomReply(std::mt19937& random) {
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };
    Bytes out;
    for (uint32_t fields = pick(6); fields-- > 0;) {
        uint32_t number = pick(10) == 0 ? 1 + pick(12) : std::vector<uint32_t>{1, 1, 2, 3, 3, 4, 5, 6, 6}[pick(9)];
        bool text = number == 3 || number >= 6;
        uint32_t wireType = pick(12) == 0 ? pick(6) : text ? uint32_t{PB_WT_STRING} : uint32_t{PB_WT_VARINT};
        varint(out, number << 3 | wireType);
        if (wireType == PB_WT_STRING) {
            uint32_t length = pick(8);
            varint(out, length);
            for (uint32_t i = 0; i < length; ++i)
                out.push_back(static_cast<uint8_t>(pick(10) == 0 ? 0xEE + pick(2) : random()));
        } else if (wireType == PB_WT_VARINT) {
            uint64_t value = pick(8) == 0 ? (uint64_t{1} << 32) + random() : random() >> pick(32);
            varint(out, value);
            if (pick(10) == 0) out.back() |= 0x80, out.push_back(0);  // the same value, padded
        } else {
            for (uint32_t i = pick(9); i-- > 0;) out.push_back(static_cast<uint8_t>(random()));
        }
    }
    if (!out.empty() && pick(6) == 0) out.resize(pick(static_cast<uint32_t>(out.size())));
    if (!out.empty() && pick(6) == 0) out[pick(static_cast<uint32_t>(out.size()))] = static_cast<uint8_t>(random());
    return out;
}

}  // namespace

TEST(ResponseDecoder, KnowsEveryFieldOfTheResponse) {
    EXPECT_EQ(fieldTags<FunctionResponse>(FunctionResponse_fields), (std::set<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9}))
        << "a field was added to FunctionResponse: teach decodeResponse about it";
}

TEST(ResponseDecoder, DecodesWhatNanopbDecodes) {
    std::mt19937 random(20261206);
    for (int i = 0; i < 20000; ++i) {
        Bytes reply = randomReply(random);
        expectSameAsNanopb(reply, 1 + random() % 8, random() % 4 != 0);
        if (HasFatalFailure()) FAIL() << "reply " << i << " of " << reply.size() << " bytes";
    }
}
