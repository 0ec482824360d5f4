// Payload texts of the cloud messages, built without a session.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cloud_payload_internal.h"
#include "json_text.h"
#include "hbn_node_info.h"

namespace {

HBN_node_info_t emptyRecord() {
  HBN_node_info_t n;
  memset(&n, 0, sizeof n);
  n.wakeUpInterval = -1;
  n.nopInterval = -1;
  return n;
}

std::string nodeInfo(int nodeId, int status, const HBN_node_info_t& n) {
  char buf[4096];
  HBN_text_t out(buf, sizeof buf);
  HBN_cloud_payloadNodeInfo(out, nodeId, status, n);
  EXPECT_FALSE(out.overflowed());
  return out.text();
}

}  // namespace

TEST(CloudPayload, NodeInformationWithEverySectionMissing) {
  EXPECT_EQ(nodeInfo(7, 0, emptyRecord()),
            "{\"status\":0,\"node_id\":7,\"endpoint\":0"
            ",\"location_name_type\":-1,\"location_name\":\"\""
            ",\"node_name_type\":-1,\"node_name\":\"\""
            ",\"manufacturer_id\":-1,\"product_type\":-1,\"product_id\":-1"
            ",\"manufacturer_specific_command_class_v2\":{\"device_id_type\":-1,\"device_id\":\"\"}"
            ",\"zwave_plus_info\":{\"zwave_plus_version\":-1,\"role_type\":-1,\"node_type\":-1,"
            "\"installer_icon_type\":-1,\"user_icon_type\":-1}"
            ",\"pairing_status\":0}");
}

TEST(CloudPayload, NodeInformationWithObtainedSections) {
  HBN_node_info_t n = emptyRecord();
  n.capabilityState = 2;
  n.capability = 0x53;
  n.security = 0x9C;
  n.basic = 4;
  n.generic = 16;
  n.specific = 1;
  n.locationState = 1;  // neither obtained nor missing: not reported
  n.nameState = 2;
  n.nameType = 0;
  strcpy(n.nodeName, "Hall \"lamp\"\\1");
  n.manufacturerState = 2;
  n.manufacturerId = 267;
  n.productType = 241;
  n.productId = 1;
  n.deviceIdState = 2;
  n.deviceIdType = 1;
  strcpy(n.deviceId, "A1B2");
  n.zwavePlusState = 2;
  n.zwavePlusVersion = 2;
  n.roleType = 5;
  n.nodeType = 0;
  n.installerIconType = 1536;
  n.userIconType = 1537;
  n.commandClassState = 2;
  n.commandClassCount = 2;
  n.commandClasses[0] = 0x25;
  n.versions[0] = 255;
  n.securityFlags[0] = 1;
  n.commandClasses[1] = 0x86;
  n.versions[1] = 3;
  n.wakeUpInterval = 3600;
  n.nopInterval = 0;
  n.pairingStatus = 2;
  EXPECT_EQ(nodeInfo(12, 0, n),
            "{\"status\":0,\"node_id\":12,\"endpoint\":0"
            ",\"capability\":83,\"security\":156,\"basic\":4,\"generic\":16,\"specific\":1"
            ",\"node_name_type\":0,\"node_name\":\"Hall \\\"lamp\\\"\\\\1\""
            ",\"manufacturer_id\":267,\"product_type\":241,\"product_id\":1"
            ",\"manufacturer_specific_command_class_v2\":{\"device_id_type\":1,\"device_id\":\"A1B2\"}"
            ",\"zwave_plus_info\":{\"zwave_plus_version\":2,\"role_type\":5,\"node_type\":0,"
            "\"installer_icon_type\":1536,\"user_icon_type\":1537}"
            ",\"support_commands\":[{\"version\":-1,\"class\":37,\"security\":1},"
            "{\"version\":3,\"class\":134,\"security\":0}]"
            ",\"wake_up_interval\":3600,\"nop_interval\":0,\"pairing_status\":2}");
}

TEST(CloudPayload, NodeInformationWithFailureStatusIsShort) {
  EXPECT_EQ(nodeInfo(1001, 1, emptyRecord()), "{\"status\":1,\"node_id\":1001}");
}

TEST(CloudPayload, UnterminatedNamesStayInsideTheirField) {
  HBN_node_info_t n = emptyRecord();
  n.nameState = 2;
  memset(n.nodeName, 'x', sizeof n.nodeName);  // no terminator at all
  std::string text = nodeInfo(3, 0, n);
  EXPECT_NE(text.find("\"node_name\":\"" + std::string(HBN_NODE_NAME_SIZE, 'x') + "\""), std::string::npos);
}

TEST(CloudPayload, KeyNamesInFixedOrder) {
  struct {
    int bits;
    const char* text;
  } cases[] = {{0x86, "\"S0\",\"S2_ACCESS\",\"S2_AUTHENTICATED\""},
               {0x81, "\"S0\",\"S2_UNAUTHENTICATED\""},
               {0x07, "\"S2_ACCESS\",\"S2_AUTHENTICATED\",\"S2_UNAUTHENTICATED\""},
               {0, ""}};
  for (const auto& c : cases) {
    char buf[128];
    HBN_text_t out(buf, sizeof buf);
    HBN_cloud_payloadKeyNames(out, c.bits);
    EXPECT_STREQ(out.text(), c.text) << c.bits;
  }
}

TEST(CloudPayload, NodeIdsSkipTheGatewayAndListVirtualNodesLast) {
  uint8_t bitmap[29] = {0};
  bitmap[0] = 0x01 | 0x10;  // nodes 1 and 5
  bitmap[28] = 0x80;        // node 232
  uint16_t virtualIds[] = {1000};
  char buf[256];
  HBN_text_t out(buf, sizeof buf);
  HBN_cloud_payloadNodeIds(out, bitmap, 29, 1, virtualIds, 1);
  EXPECT_STREQ(out.text(), "5,232,1000");
  HBN_text_t alone(buf, sizeof buf);
  HBN_cloud_payloadNodeIds(alone, bitmap, 0, 1, virtualIds, 1);
  EXPECT_STREQ(alone.text(), "1000");
}

TEST(CloudPayload, ProvisioningListListsOnlyWholeEntriesThatFit) {
  uint8_t entries[100 * 17] = {0};
  entries[0] = 0x12;
  entries[1] = 0x34;
  entries[16] = 3;  // any status above 0 is reported as 1
  char small[4096];
  HBN_text_t out(small, sizeof small);
  out.append("{\"list\":[");
  int listed = HBN_cloud_payloadPvList(out, 100, entries);
  EXPECT_GT(listed, 50);
  EXPECT_LT(listed, 100);
  out.append("]}");
  EXPECT_FALSE(out.overflowed());
  std::string text = out.text();
  EXPECT_EQ(
      text.rfind("{\"list\":[{\"dsk\":\"04660-00000-00000-00000-00000-00000-00000-00000\",\"status\":1},", 0),
      0u);
  EXPECT_EQ(text.substr(text.size() - 3), "}]}");
}

TEST(CloudPayload, GatewayKeysByLength) {
  uint8_t keys[80];
  for (int i = 0; i < 80; ++i) keys[i] = static_cast<uint8_t>(i);
  char buf[1024];
  HBN_text_t shortOut(buf, sizeof buf);
  EXPECT_FALSE(HBN_cloud_payloadGwKeys(shortOut, 31, keys));

  HBN_text_t out32(buf, sizeof buf);
  ASSERT_TRUE(HBN_cloud_payloadGwKeys(out32, 32, keys));
  EXPECT_STREQ(out32.text(),
               "{\"gwkey\":\"00001-00515-01029-01543-02057-02571-03085-03599\","
               "\"s0\":\"101112131415161718191A1B1C1D1E1F\"}");

  char buf80[1024];
  HBN_text_t out80(buf80, sizeof buf80);
  ASSERT_TRUE(HBN_cloud_payloadGwKeys(out80, 80, keys));
  std::string text = out80.text();
  EXPECT_NE(text.find("\"s2_unauth\":\"202122232425262728292A2B2C2D2E2F\""), std::string::npos);
  EXPECT_NE(text.find("\"s2_auth\":\"303132333435363738393A3B3C3D3E3F\""), std::string::npos);
  EXPECT_NE(text.find("\"s2_access\":\"404142434445464748494A4B4C4D4E4F\"}"), std::string::npos);
}

TEST(CloudText, EscapesAndNeverOverruns) {
  char buf[24];
  HBN_text_t out(buf, sizeof buf);
  out.append("[").escaped("a\"b\\c\n\x01");
  EXPECT_STREQ(out.text(), "[a\\\"b\\\\c\\n\\u0001");
  EXPECT_FALSE(out.overflowed());
  out.append("more text than fits");
  EXPECT_TRUE(out.overflowed());
  EXPECT_STREQ(out.text(), "[a\\\"b\\\\c\\n\\u0001");
}
