#include <gtest/gtest.h>

#include "engine_protocol/byte_order.h"
#include "engine_protocol/device_frame.h"
#include "engine_protocol/nfe_protocol.h"

namespace hbt {
namespace {

TEST(DeviceFrameTest, HelloRequestAndReplyLayouts) {
    std::vector<uint8_t> hello = EncodeDeviceHello(DeviceHello{kDeviceHelloMagic, kStatusAccessDenied});
    ASSERT_EQ(hello.size(), 8u);
    EXPECT_EQ(std::string(hello.begin(), hello.begin() + 4), "HBT1");
    EXPECT_EQ(DecodeDeviceHello(hello.data()).status, kStatusAccessDenied);

    std::vector<uint8_t> request = EncodeDeviceRequest(DeviceRequestHeader{0x0102030405060708ull, 0x120014, 0, 4096},
                                                       {9, 9, 9});
    ASSERT_EQ(request.size(), 24u + 3u);
    EXPECT_EQ(GetU64(&request[0]), 0x0102030405060708ull);
    EXPECT_EQ(GetU32(&request[8]), 0x120014u);
    EXPECT_EQ(GetU32(&request[12]), 3u);  // taken from the input, not the header
    EXPECT_EQ(GetU32(&request[16]), 4096u);
    EXPECT_EQ(GetU32(&request[20]), 0u);
    DeviceRequestHeader back = DecodeDeviceRequestHeader(request.data());
    EXPECT_EQ(back.inputLength, 3u);
    EXPECT_EQ(back.outputCapacity, 4096u);
}

TEST(DeviceFrameTest, OutputFollowsOnlyASuccessfulReply) {
    std::vector<uint8_t> out;
    AppendDeviceReply(7, DeviceReply{kStatusSuccess, 4, {1, 2, 3, 4}}, out);
    AppendDeviceReply(8, DeviceReply{kStatusBufferTooSmall, 504, {}}, out);
    ASSERT_EQ(out.size(), 16u + 4u + 16u);
    DeviceReplyHeader first = DecodeDeviceReplyHeader(&out[0]);
    EXPECT_EQ(first.id, 7u);
    EXPECT_EQ(DeviceReplyOutputLength(first), 4u);
    DeviceReplyHeader second = DecodeDeviceReplyHeader(&out[20]);
    EXPECT_EQ(second.id, 8u);
    EXPECT_EQ(second.status, kStatusBufferTooSmall);
    EXPECT_EQ(second.information, 504u);
    EXPECT_EQ(DeviceReplyOutputLength(second), 0u);
}

}  // namespace
}  // namespace hbt
