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

// The readers on both ends cut frames with these: a frame is complete once
// all of it is there, and a length no engine or program uses ends the session.
TEST(DeviceFrameTest, ScansTellCompleteFramesMissingBytesAndImpossibleLengths) {
    std::vector<uint8_t> request = EncodeDeviceRequest(DeviceRequestHeader{5, 0x120010, 0, 0}, {1, 2, 3});
    DeviceRequestHeader header;
    EXPECT_TRUE(ScanDeviceRequest(request.data(), 23, header).NeedsMore());
    EXPECT_TRUE(ScanDeviceRequest(request.data(), 26, header).NeedsMore());
    request.push_back(0xEE);  // the next frame's first byte
    ByteScan scan = ScanDeviceRequest(request.data(), request.size(), header);
    ASSERT_TRUE(scan.IsComplete());
    EXPECT_EQ(scan.length, 27u);
    EXPECT_EQ(header.id, 5u);
    PutU32(&request[12], kDeviceMaxRequestInput + 1);
    EXPECT_TRUE(ScanDeviceRequest(request.data(), request.size(), header).IsMalformed());

    std::vector<uint8_t> replies;
    AppendDeviceReply(9, DeviceReply{kStatusBufferTooSmall, 0xFFFFFFFF, {}}, replies);  // a size needed, no output
    DeviceReplyHeader reply;
    scan = ScanDeviceReply(replies.data(), replies.size(), reply);
    ASSERT_TRUE(scan.IsComplete());
    EXPECT_EQ(scan.length, 16u);
    AppendDeviceReply(10, DeviceReply{kStatusSuccess, 0, {7, 7}}, replies);
    EXPECT_TRUE(ScanDeviceReply(&replies[16], 17, reply).NeedsMore());
    EXPECT_EQ(ScanDeviceReply(&replies[16], 18, reply).length, 18u);
    PutU32(&replies[16 + 12], kDeviceMaxReplyOutput + 1);
    EXPECT_TRUE(ScanDeviceReply(&replies[16], 18, reply).IsMalformed());
}

}  // namespace
}  // namespace hbt
