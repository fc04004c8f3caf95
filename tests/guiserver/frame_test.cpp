// The two-phase frame transfer on real loopback sockets.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "guiserver/FrameTrans.h"
#include "protocol/SysStatus.h"
#include "support/TestSupport.h"

using namespace testing_support;
using gui::Bytes;

namespace {

class FrameTransTest : public ::testing::Test {
  protected:
    ServerDirScope dir_;
    // conn_ holds the server end of a loopback connection; client_ is the peer.
    GuiConn& Conn() { return *conn_; }
    void SetUp() override { NewConnection(); }
    void TearDown() override { plat::SockClose(conn_->sock); }
    // Replaces the connection by a fresh one (for tables of cases).
    void NewConnection() {
        if (conn_) plat::SockClose(conn_->sock);
        auto pair = LoopbackPair();
        client_ = std::move(pair.first);
        conn_ = std::make_unique<GuiConn>();
        conn_->sock = pair.second.Release();
    }
    uint8_t Receive() {
        conn_->flg_trans = GUI_DIR_RECV;
        return ServerGUITrans(*conn_);
    }
    plat::Socket client_;
    std::unique_ptr<GuiConn> conn_;
};

Bytes Body(size_t n, uint8_t first = 0x02) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(i * 7 + 3);
    b[0] = first;
    return b;
}

}  // namespace

TEST_F(FrameTransTest, BodyBelow2048StaysInTheRequestBuffer) {
    Bytes body = Body(2047);
    ASSERT_TRUE(SendAll(client_.Get(), gui::Frame(body)));
    ASSERT_EQ(Receive(), SYS_SUCCESS);
    EXPECT_EQ(Conn().lReqLen, 2047u);
    EXPECT_EQ(Conn().bLargeReq, 0);
    EXPECT_FALSE(Conn().pLargeReq.Held());
    EXPECT_EQ(Bytes(Conn().cReqBuf, Conn().cReqBuf + 2047), body);
}

TEST_F(FrameTransTest, BodyOf2048OrMoreGoesToTheLargeBlockAndItsHeadToTheBuffer) {
    for (size_t n : {size_t{2048}, size_t{300000}}) {
        NewConnection();
        Bytes body = Body(n);
        std::thread sender([&] { SendAll(client_.Get(), gui::Frame(body)); });
        ASSERT_EQ(Receive(), SYS_SUCCESS);
        sender.join();
        EXPECT_EQ(Conn().lReqLen, n);
        EXPECT_EQ(Conn().bLargeReq, 1);
        ASSERT_EQ(Conn().pLargeReq.Size(), n);
        EXPECT_EQ(Bytes(Conn().pLargeReq.Data(), Conn().pLargeReq.Data() + n), body);
        EXPECT_EQ(Bytes(Conn().cReqBuf, Conn().cReqBuf + 2048),
                  Bytes(body.begin(), body.begin() + 2048));
    }
}

// Malformed requests: what is logged, and the status.
struct BadRequest {
    const char* name;
    Bytes wire;
    bool closeAfter;
    uint8_t status;
    std::string log;
};

TEST_F(FrameTransTest, MalformedRequestsFailWithTheirLogLines) {
    const BadRequest cases[] = {
        {"closed at once",
         {},
         true,
         SYSFAIL_PHASE1_ERR,
         "ERR: Resent Fail\nServerGUITrans : Phase 1 Error, Code: 0x12!\n"},
        {"header starting with 02",
         {0x02, 0x05, 0, 0, 0, 0x02, 4, 1, 2, 3},
         false,
         SYSFAIL_PHASE1_ERR,
         "ERR: Not Phase 1, bPhaseStatus = 0x2.\n"},
        {"zero length", {0x01, 0, 0, 0, 0}, false, SYSFAIL_PHASE1_ERR, "ERR: bReqLen = 0x0!\n"},
        {"body marker ff",
         {0x01, 2, 0, 0, 0, 0xff, 4},
         false,
         SYSFAIL_PHASE2_ERR,
         "ServerGUITrans : Not Phase 2, bPhaseStatus = 0xffffffff.\n"},
        {"body marker 80",
         {0x01, 2, 0, 0, 0, 0x80, 4},
         false,
         SYSFAIL_PHASE2_ERR,
         "ServerGUITrans : Not Phase 2, bPhaseStatus = 0xffffff80.\n"},
        {"absurd length",
         {0x01, 0xf0, 0xff, 0xff, 0xff},
         false,
         SYSFAIL_PHASE2_ERR,
         "ServerGUITrans : Request too long, bReqLen = 0xfffffff0!\n"},
    };
    for (const BadRequest& c : cases) {
        SCOPED_TRACE(c.name);
        NewConnection();
        std::remove(dir_.File("ServerLog.txt").c_str());
        ASSERT_TRUE(SendAll(client_.Get(), c.wire));
        if (c.closeAfter) client_.Reset();
        EXPECT_EQ(Receive(), c.status);
        EXPECT_EQ(dir_.Log(), c.log);
        // Only a header that was accepted sets the request length.
        if (c.status == SYSFAIL_PHASE1_ERR || c.wire.size() == 5) {
            EXPECT_EQ(Conn().lReqLen, 0u);
        }
        EXPECT_FALSE(Conn().pLargeReq.Held());
    }
}

TEST_F(FrameTransTest, BodyCutShortFailsPhase2AfterElevenZeroResults) {
    Bytes wire = gui::Frame(Body(100));
    wire.resize(5 + 40);
    ASSERT_TRUE(SendAll(client_.Get(), wire));
    client_.Reset();
    EXPECT_EQ(Receive(), SYSFAIL_PHASE2_ERR);
    EXPECT_EQ(dir_.Log(), "ERR: Resent Fail\nServerGUITrans : Phase 2 Error, Code: 0x12!\n");
    // The transfer closed the socket and says so.
    EXPECT_EQ(Conn().sock, plat::kInvalidSock);
}

TEST_F(FrameTransTest, LargeBodyCutShortFreesNothingTwiceAndFailsPhase2) {
    // 1 MiB announced, 100 KiB sent: the block grew only with what arrived.
    Bytes wire = gui::Frame(Body(1 << 20));
    wire.resize(5 + 100 * 1024);
    std::thread sender([&] {
        SendAll(client_.Get(), wire);
        client_.Reset();
    });
    EXPECT_EQ(Receive(), SYSFAIL_PHASE2_ERR);
    sender.join();
    EXPECT_LE(Conn().pLargeReq.Size(), 256u * 1024);
    EXPECT_EQ(dir_.Log(), "ERR: Resent Fail\nServerGUITrans : Phase 2 Error, Code: 0x12!\n");
}

TEST_F(FrameTransTest, ReplyHeaderIsLittleEndianLengthThenTheBodyWithItsMarker) {
    Conn().flg_trans = GUI_DIR_SEND;
    Conn().lRepLen = 6;
    const uint8_t content[] = {0x04, 'a', 'b', 'c', 'd'};
    std::memcpy(Conn().cRepBuf + 1, content, sizeof content);
    ASSERT_EQ(ServerGUITrans(Conn()), SYS_SUCCESS);
    plat::SockClose(Conn().sock);
    Conn().sock = plat::kInvalidSock;
    bool closed = false;
    Bytes got = RecvUntilClose(client_.Get(), 5000, &closed);
    EXPECT_EQ(got, (Bytes{0x01, 0x06, 0, 0, 0, 0x02, 0x04, 'a', 'b', 'c', 'd'}));
}

TEST_F(FrameTransTest, LargeReplyGoesFromTheLargeBufferAndClearsTheFlag) {
    Conn().flg_trans = GUI_DIR_SEND;
    Conn().bLargeRep = 1;
    Conn().lRepLen = GUI_LARGE_REPLY_SIZE;
    std::memset(Conn().cLargeRepBuf, 0x5a, GUI_LARGE_REPLY_SIZE);
    Bytes got;
    std::thread reader([&] {
        bool closed = false;
        got = RecvUntilClose(client_.Get(), 10000, &closed);
    });
    ASSERT_EQ(ServerGUITrans(Conn()), SYS_SUCCESS);
    EXPECT_EQ(Conn().bLargeRep, 0);
    plat::SockClose(Conn().sock);
    Conn().sock = plat::kInvalidSock;
    reader.join();
    ASSERT_EQ(got.size(), 5 + GUI_LARGE_REPLY_SIZE);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 6), (Bytes{0x01, 0x00, 0x18, 0x01, 0x00, 0x02}));
    EXPECT_EQ(got.back(), 0x5a);
}

TEST_F(FrameTransTest, ZeroLengthReplySendsTheHeaderOnlyAndFailsPhase1) {
    Conn().flg_trans = GUI_DIR_SEND;
    Conn().lRepLen = 0;
    EXPECT_EQ(ServerGUITrans(Conn()), SYSFAIL_PHASE1_ERR);
    EXPECT_EQ(dir_.Log(), "ServerGUITrans : OutBufferLength = 0x0!\n");
    plat::SockClose(Conn().sock);
    Conn().sock = plat::kInvalidSock;
    bool closed = false;
    EXPECT_EQ(RecvUntilClose(client_.Get(), 5000, &closed), (Bytes{0x01, 0, 0, 0, 0}));
}

TEST_F(FrameTransTest, ByteTransEdgeCases) {
    uint8_t buf[4] = {};
    plat::SockFd s = Conn().sock;
    EXPECT_EQ(ByteTrans(s, buf, 0, GUI_DIR_RECV), SYS_SUCCESS);
    EXPECT_EQ(dir_.Log(), "");
    // Any other direction moves nothing: eleven passes log the direction error, then it fails
    // like a run of zero results and closes the socket.
    EXPECT_EQ(ByteTrans(s, buf, 4, 7), SYSFAIL_TRANS_RETRY_OVER);
    std::string expect;
    for (int i = 0; i < 11; ++i)
        expect += "ERR: flg_trans.\n";
    expect += "ERR: Resent Fail\n";
    EXPECT_EQ(dir_.Log(), expect);
    EXPECT_EQ(s, plat::kInvalidSock);
    Conn().sock = plat::kInvalidSock;
}

TEST_F(FrameTransTest, SendToAVanishedPeerIsASocketErrorNotASignal) {
    client_.Reset();
    Conn().flg_trans = GUI_DIR_SEND;
    Conn().bLargeRep = 1;
    Conn().lRepLen = GUI_LARGE_REPLY_SIZE;
    std::memset(Conn().cLargeRepBuf, 0, GUI_LARGE_REPLY_SIZE);
    uint8_t s = SYS_SUCCESS;
    // The first sends may still be taken by the kernel; repeat until the reset shows.
    for (int i = 0; i < 50 && s == SYS_SUCCESS; ++i) {
        if (Conn().sock == plat::kInvalidSock) break;
        Conn().bLargeRep = 1;
        s = ServerGUITrans(Conn());
    }
    EXPECT_NE(s, SYS_SUCCESS);
    EXPECT_NE(dir_.Log().find("ERR: ByteSend = -1\n"), std::string::npos);
}
