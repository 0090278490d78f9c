#include "service/components/ipc/ipc_wire.h"

#include <gtest/gtest.h>

namespace orvex {
namespace wire {
namespace {

TEST(IpcWireTest, SendFrameRoundTripsEveryField) {
  Frame frame;
  frame.op = Op::kSend;
  frame.endpoint = 0x700000;
  frame.item = TagIPCMessageItem{
      0x80000, 0x700000, 0x80018, 7, -1, 0xFFFFFFFF, 2, 0x1122334455667788ull, true};
  Frame back;
  ASSERT_TRUE(Decode(Encode(frame), &back));
  EXPECT_EQ(back.op, Op::kSend);
  EXPECT_EQ(back.endpoint, 0x700000u);
  EXPECT_EQ(back.item.msgClass, 0x80000u);
  EXPECT_EQ(back.item.destination, 0x700000u);
  EXPECT_EQ(back.item.command, 0x80018u);
  EXPECT_EQ(back.item.param, 7u);
  EXPECT_EQ(back.item.sequence, -1);
  EXPECT_EQ(back.item.reserved1, 0xFFFFFFFFu);
  EXPECT_EQ(back.item.reserved2, 2u);
  EXPECT_EQ(back.item.data, 0x1122334455667788ull);
  EXPECT_TRUE(back.item.needReply);
}

TEST(IpcWireTest, MalformedFramesAreRejected) {
  Frame ack;
  ack.op = Op::kAck;
  ack.status = kNoEndpoint;
  const std::string good = Encode(ack);
  Frame back;
  ASSERT_TRUE(Decode(good, &back));
  EXPECT_EQ(back.status, kNoEndpoint);

  EXPECT_FALSE(Decode("", &back));
  EXPECT_FALSE(Decode(good.substr(0, 11), &back));
  EXPECT_FALSE(Decode(good + "x", &back));  // trailing bytes
  std::string badOp = good;
  badOp[0] = 9;
  EXPECT_FALSE(Decode(badOp, &back));

  Frame send;
  send.op = Op::kDeliver;
  std::string item = Encode(send);
  EXPECT_FALSE(Decode(item.substr(0, item.size() - 1), &back));  // item cut short
  item.back() = 2;                                               // a bool that is neither 0 nor 1
  EXPECT_FALSE(Decode(item, &back));
}

}  // namespace
}  // namespace wire
}  // namespace orvex
