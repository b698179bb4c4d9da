// The object, strings and maps a Visual Studio host sees, driven as that
// host's runtime would drive them, over a heap that knows every block it
// handed out: a block freed that it never made, or one still live at the
// end, fails the test.
#include "plugin/msvc/msvc_face.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>

#include "tests/device/test_helpers.h"
#include "tests/support/temp_dir.h"

namespace qrv::plugin::msvc {
namespace {

std::set<void*>& LiveBlocks() {
  static std::set<void*> blocks;
  return blocks;
}
int g_foreignFrees = 0;
int g_allocationsLeft = -1;  // -1: unlimited

void* TrackedAllocate(size_t bytes) {
  if (g_allocationsLeft == 0) return nullptr;
  if (g_allocationsLeft > 0) --g_allocationsLeft;
  void* block = std::malloc(bytes);
  LiveBlocks().insert(block);
  return block;
}

void TrackedRelease(void* block) {
  if (block == nullptr) return;
  if (LiveBlocks().erase(block) == 0) {
    ++g_foreignFrees;  // not ours: a shifted pointer or another heap's
    return;
  }
  std::free(block);
}

const platform::HostHeap kHeap{&TrackedAllocate, &TrackedRelease, "tracked"};

class MsvcAbiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LiveBlocks().clear();
    g_foreignFrees = 0;
    g_allocationsLeft = -1;
  }
  void TearDown() override {
    EXPECT_EQ(g_foreignFrees, 0) << "a block went back that the heap never made";
    EXPECT_EQ(LiveBlocks().size(), 0u) << "blocks leaked";
  }
};

// Every rule of the host's tree: order, links, colors, head, size.
template <class Value>
int BlackHeight(const MsvcMap<Value>& map, const MsvcTreeNode<Value>* node,
                const MsvcTreeNode<Value>* parent, size_t* count) {
  if (node->isNil) {
    EXPECT_EQ(node, map.head) << "a missing child is not the head";
    return 1;
  }
  ++*count;
  EXPECT_EQ(node->parent, parent);
  if (node->color == kRed) {
    EXPECT_EQ(parent->color, kBlack) << "red node with a red parent";
  }
  if (!node->left->isNil) {
    EXPECT_LT(View(node->left->key), View(node->key));
  }
  if (!node->right->isNil) {
    EXPECT_GT(View(node->right->key), View(node->key));
  }
  const int left = BlackHeight(map, node->left, node, count);
  const int right = BlackHeight(map, node->right, node, count);
  EXPECT_EQ(left, right) << "black heights differ below " << View(node->key);
  return left + (node->color == kBlack ? 1 : 0);
}

template <class Value>
void ExpectValidTree(const MsvcMap<Value>& map) {
  const MsvcTreeNode<Value>* head = map.head;
  ASSERT_EQ(head->isNil, 1);
  ASSERT_EQ(head->color, kBlack);
  size_t count = 0;
  if (map.size == 0) {
    EXPECT_EQ(head->parent, head);
    EXPECT_EQ(head->left, head);
    EXPECT_EQ(head->right, head);
    return;
  }
  EXPECT_EQ(head->parent->color, kBlack) << "the root is red";
  BlackHeight(map, head->parent, head, &count);
  EXPECT_EQ(count, map.size);
  const MsvcTreeNode<Value>* leftmost = head->parent;
  while (!leftmost->left->isNil) leftmost = leftmost->left;
  const MsvcTreeNode<Value>* rightmost = head->parent;
  while (!rightmost->right->isNil) rightmost = rightmost->right;
  EXPECT_EQ(head->left, leftmost);
  EXPECT_EQ(head->right, rightmost);
}

std::string Text(size_t length, char first) {
  std::string text(length, first);
  for (size_t i = 0; i < length; ++i) text[i] = static_cast<char>(first + i % 7);
  if (length > 2) text[length / 2] = '\0';  // texts carry NUL bytes too
  return text;
}

TEST_F(MsvcAbiTest, StringsKeepAnyTextAndMakeBlocksTheHostCanFree) {
  for (size_t length : {0u, 1u, 15u, 16u, 31u, 32u, 4079u, 4080u, 4094u, 4095u, 4096u, 100000u}) {
    SCOPED_TRACE(length);
    MsvcString string;
    InitEmpty(string);
    const std::string text = Text(length, 'a');
    ASSERT_TRUE(Assign(string, text, kHeap));
    EXPECT_EQ(View(string), text);
    // The host's own rules: inside up to 15, else the size with its low four
    // bits set (at least 22), NUL after the text.
    const size_t capacity = length <= 15 ? 15 : std::max<size_t>(length | 15, 22);
    EXPECT_EQ(string.capacity, capacity);
    const char* data = View(string).data();
    EXPECT_EQ(data[length], '\0');
    if (capacity + 1 >= kBigBlockThreshold) {
      EXPECT_EQ(reinterpret_cast<uintptr_t>(data) % kBigBlockAlignment, 0u);
      void* raw = nullptr;
      std::memcpy(&raw, data - sizeof(void*), sizeof(raw));
      EXPECT_EQ(LiveBlocks().count(raw), 1u) << "the raw block is not stored before the text";
    } else if (capacity > 15) {
      EXPECT_EQ(LiveBlocks().count(const_cast<char*>(data)), 1u);
    }
    // Shorter text reuses the block; longer grows by half at least.
    ASSERT_TRUE(Assign(string, "x", kHeap));
    EXPECT_EQ(View(string), "x");
    EXPECT_EQ(string.capacity, capacity);
    Destroy(string, kHeap);
    EXPECT_EQ(View(string), "");
  }
  MsvcString string;
  InitEmpty(string);
  ASSERT_TRUE(Assign(string, std::string(40, 'g'), kHeap));
  ASSERT_TRUE(Assign(string, std::string(50, 'h'), kHeap));
  EXPECT_EQ(string.capacity, 47u + 47u / 2);
  // No room: the text stays as it was.
  g_allocationsLeft = 0;
  EXPECT_FALSE(Assign(string, std::string(5000, 'i'), kHeap));
  EXPECT_EQ(View(string), std::string(50, 'h'));
  Destroy(string, kHeap);
}

TEST_F(MsvcAbiTest, TreeInsertsKeepEveryRuleOfTheHostsTree) {
  MsvcParameterMap map;
  ASSERT_TRUE(InitEmptyMap(map, kHeap));
  ExpectValidTree(map);
  std::set<std::string> expected;
  std::mt19937 random(7);
  // Ascending, descending and random runs reach every rebalancing case.
  std::vector<std::string> keys;
  for (int i = 0; i < 300; ++i) keys.push_back("asc" + std::to_string(1000 + i));
  for (int i = 300; i > 0; --i) keys.push_back("desc" + std::to_string(1000 + i));
  for (int i = 0; i < 400; ++i)
    keys.push_back(Text(random() % 40, static_cast<char>('A' + random() % 50)));
  keys.push_back("");
  keys.push_back(std::string("Operation\0x", 11));
  keys.push_back("Operation");
  for (const std::string& key : keys) {
    auto* node = FindOrInsert(map, key, kHeap);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(View(node->key), key);
    if (expected.insert(key).second) {
      EXPECT_EQ(View(node->value), "") << "a new key has an empty value";
      ASSERT_TRUE(Assign(node->value, key + "=value", kHeap));
    } else {
      EXPECT_EQ(View(node->value), key + "=value") << "an existing key was inserted again";
    }
  }
  ExpectValidTree(map);
  EXPECT_EQ(map.size, expected.size());
  std::vector<std::string> inOrder;
  ForEach(map, [&](std::string_view key, const MsvcString& value) {
    inOrder.emplace_back(key);
    EXPECT_EQ(View(value), std::string(key) + "=value");
  });
  EXPECT_EQ(inOrder, std::vector<std::string>(expected.begin(), expected.end()));
  EXPECT_NE(Find(map, std::string("Operation\0x", 11)), Find(map, "Operation"));
  EXPECT_EQ(Find(map, "absent"), nullptr);

  // No room for a node or its key: the tree is as it was.
  for (int left : {0, 1}) {
    g_allocationsLeft = left;
    EXPECT_EQ(FindOrInsert(map, std::string(100, 'z'), kHeap), nullptr);
    g_allocationsLeft = -1;
    EXPECT_EQ(map.size, expected.size());
  }
  ExpectValidTree(map);
  DestroyMap(map, kHeap);
}

// The face's operations as the host's slot numbers reach them.
class MsvcFaceTest : public MsvcAbiTest {
 protected:
  void SetUp() override {
    MsvcAbiTest::SetUp();
    fake_tmcc::Reset();
    face_ = CreateMsvcFace(kHeap);
    ASSERT_NE(face_, nullptr);
  }
  void TearDown() override {
    if (face_ != nullptr) face_->table->destroy(face_, 1);
    test::ClearDevices();
    MsvcAbiTest::TearDown();
  }

  MsvcString HostText(std::string_view text) {
    MsvcString string;
    InitEmpty(string);
    EXPECT_TRUE(Assign(string, text, kHeap));
    return string;
  }
  MsvcParameterMap HostMap(const std::map<std::string, std::string>& entries) {
    MsvcParameterMap map;
    EXPECT_TRUE(InitEmptyMap(map, kHeap));
    for (const auto& [key, value] : entries) {
      EXPECT_TRUE(Assign(FindOrInsert(map, key, kHeap)->value, value, kHeap));
    }
    return map;
  }
  static std::map<std::string, std::string> Entries(const MsvcParameterMap& map) {
    std::map<std::string, std::string> entries;
    ForEach(map, [&](std::string_view key, const MsvcString& value) {
      entries.emplace(std::string(key), std::string(View(value)));
    });
    return entries;
  }

  MsvcFace* face_ = nullptr;
};

TEST_F(MsvcFaceTest, ModuleInformationAndPropertiesLiveInTheHostsContainers) {
  EXPECT_EQ(View(face_->moduleInfo.name), "");
  EXPECT_EQ(face_->table->getAccessType(face_), 11);
  EXPECT_EQ(face_->table->init(face_), 1);
  EXPECT_EQ(View(face_->moduleInfo.name), "PLUGIN.Access.QRV");
  EXPECT_EQ(View(face_->moduleInfo.version), "1.0");
  EXPECT_EQ(View(face_->moduleInfo.extraText), "");
  EXPECT_EQ(face_->moduleInfo.extraValue, 0);

  // The by-value name is the callee's: every one is freed (TearDown checks).
  for (size_t length : {0u, 15u, 16u, 4095u, 4096u, 100000u}) {
    const std::string name = Text(length, 'n');
    face_->table->setInt(face_, HostText(name), static_cast<int32_t>(length) + 1);
    EXPECT_EQ(face_->table->getInt(face_, HostText(name)), static_cast<int32_t>(length) + 1);
  }
  EXPECT_EQ(face_->properties.size, 6u);
  face_->table->setInt(face_, HostText("twice"), 1);
  face_->table->setInt(face_, HostText("twice"), 2);
  EXPECT_EQ(face_->table->getInt(face_, HostText("twice")), 2);
  EXPECT_EQ(face_->properties.size, 7u);
  EXPECT_EQ(face_->table->getInt(face_, HostText("never set")), 0);
  EXPECT_EQ(face_->properties.size, 7u) << "a read inserted the name";
  ExpectValidTree(face_->properties);
  face_->table->uninit(face_);
}

TEST_F(MsvcFaceTest, ExecuteReadsAndWritesTheHostsMapsInPlace) {
  // Unknown operation: -1, the maps as they were.
  MsvcParameterMap in = HostMap({{"Operation", "999"}, {"Other", std::string("a\0b", 3)}});
  MsvcParameterMap out = HostMap({{"Kept", "value"}});
  const auto inBefore = Entries(in);
  EXPECT_EQ(face_->table->execute(face_, &in, &out), -1);
  EXPECT_EQ(Entries(in), inBefore);
  EXPECT_EQ(Entries(out), (std::map<std::string, std::string>{{"Kept", "value"}}));
  DestroyMap(in, kHeap);

  // Every key the operation reads is inserted into the host's map, whatever
  // its size: a login without a port reads four keys and is refused.
  for (int entries : {0, 1, 1000}) {
    SCOPED_TRACE(entries);
    std::map<std::string, std::string> given{{"Operation", "1"}};
    for (int i = 0; i < entries; ++i) given["k" + std::to_string(10000 + i)] = Text(i % 50, 'v');
    in = HostMap(given);
    EXPECT_EQ(face_->table->execute(face_, &in, &out), -1);
    ExpectValidTree(in);
    auto expected = given;
    for (const char* key : {"DeviceIP", "User", "Password", "DevicePort"}) expected[key] = "";
    EXPECT_EQ(Entries(in), expected);
    DestroyMap(in, kHeap);
  }

  // A rewritten value goes back into the host's block, the big-block rule
  // included (the name plus ".264" crosses 4096 bytes).
  const test::TempDir dir;
  for (size_t length : {10u, 12u, 4076u, 4091u, 4092u, 100000u}) {
    SCOPED_TRACE(length);
    const std::string name = dir.File("missing/" + std::string(length, 'f'));
    in = HostMap({{"Operation", "21"}, {"Handle", "0"}, {"FileName", name}});
    EXPECT_EQ(face_->table->execute(face_, &in, &out), -1);  // the folder does not exist
    EXPECT_EQ(Entries(in)["FileName"], name + ".264");
    DestroyMap(in, kHeap);
  }
  DestroyMap(out, kHeap);
}

TEST_F(MsvcFaceTest, OneMapAsInputAndOutputHoldsBothResults) {
  const test::TempDir dir;
  // ".264" makes a big block; the folder does not exist.
  const std::string name = dir.File("missing/" + std::string(4090, 'f'));
  using Map = std::map<std::string, std::string>;
  struct Case {
    Map request;
    int32_t result;
    Map expected;
  };
  const Case cases[] = {
      {{{"Operation", "1"},
        {"DeviceIP", "127.0.0.7"},
        {"User", "u"},
        {"Password", "p"},
        {"DevicePort", "6001"}},
       0,
       {{"Operation", "1"},
        {"DeviceIP", "127.0.0.7"},
        {"User", "u"},
        {"Password", "p"},
        {"DevicePort", "6001"},
        {"LOGINID", "0"},
        {"ChanNum", "1"}}},
      {{{"Operation", "21"}, {"Handle", "0"}, {"FileName", name}},
       -1,
       {{"Operation", "21"}, {"Handle", "0"}, {"FileName", name + ".264"}}},
      {{{"Operation", "21"}, {"Handle", "0"}, {"FileName", dir.File("cam1")}},
       0,
       {{"Operation", "21"}, {"Handle", "0"}, {"FileName", dir.File("cam1.264")}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request.at("Operation"));
    MsvcParameterMap both = HostMap(c.request);
    EXPECT_EQ(face_->table->execute(face_, &both, &both), c.result);
    ExpectValidTree(both);
    EXPECT_EQ(Entries(both), c.expected);
    DestroyMap(both, kHeap);
  }
  MsvcParameterMap stop = HostMap({{"Operation", "22"}, {"Handle", "0"}});
  EXPECT_EQ(face_->table->execute(face_, &stop, &stop), 0);  // the file closes before dir goes
  DestroyMap(stop, kHeap);
}

TEST_F(MsvcFaceTest, ByValueMapsAreDestroyedAndNothingEscapesWhenMemoryRunsOut) {
  for (int entries : {0, 1, 1000}) {
    std::map<std::string, std::string> given;
    for (int i = 0; i < entries; ++i) given["key" + std::to_string(i)] = Text(i * 7 % 5000, 'p');
    face_->table->handleParameters(face_, HostMap(given));
  }
  // The host's heap is full: Execute reports -1 and the maps stay whole.
  MsvcParameterMap in = HostMap({{"Operation", "1"}});
  MsvcParameterMap out = HostMap({});
  g_allocationsLeft = 0;
  EXPECT_EQ(face_->table->execute(face_, &in, &out), -1);
  g_allocationsLeft = -1;
  ExpectValidTree(in);
  DestroyMap(in, kHeap);
  DestroyMap(out, kHeap);
  // Out of memory while the object itself is made: null, nothing left over.
  g_allocationsLeft = 0;
  EXPECT_EQ(CreateMsvcFace(kHeap), nullptr);
  g_allocationsLeft = -1;
}

}  // namespace
}  // namespace qrv::plugin::msvc
