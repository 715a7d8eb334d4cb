// The registry script interpreter and the reading of library resources.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "RegistrationTestSupport.h"
#include "platform/VQRegistrar.h"
#include "VQResources.h"
#include "tests/platform/testlib/TempRegistry.h"

namespace {

using vq::test::ListStore;

class RegistrarTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(m_Registry.Dir().empty()); }
  HRESULT Apply(const char* script, bool registering, std::string* error = nullptr) {
    return vq::UpdateRegistryFromScript(script, {{L"MODULE", L"/lib/it's 100%.so"}}, registering, error);
  }
  TempRegistry m_Registry;
};

TEST_F(RegistrarTest, KeyFlagsDecideWhatRegisteringAndUnregisteringDo) {
  const char* script =
      "// comment line\n"
      "HKCR\n{\n"
      "  NoRemove Root\n  {\n"
      "    ForceRemove {00000000-0000-0000-0000-000000000001} = s 'Forced'\n    {\n"
      "      Server = s '%MODULE%'\n      {\n        val Model = s 'Apartment'\n        val Count = d 0x2a\n      }\n"
      "    }\n"
      "    Plain = s 'it''s plain'\n    {\n      Leaf\n    }\n"
      "    Delete Old\n"
      "  }\n}\n";
  CreateKey(HKEY_CLASSES_ROOT, L"Root\\{00000000-0000-0000-0000-000000000001}\\Stale");
  CreateKey(HKEY_CLASSES_ROOT, L"Root\\Old\\Below");

  ASSERT_EQ(Apply(script, true), S_OK);
  const std::wstring forced = L"Root\\{00000000-0000-0000-0000-000000000001}";
  std::map<std::wstring, std::wstring> expected = {
      {L"Root", L""},
      {forced, L""},
      {forced + L"|@", L"sz:Forced"},
      {forced + L"\\Server", L""},
      {forced + L"\\Server|@", L"sz:/lib/it's 100%.so"},
      {forced + L"\\Server|Model", L"sz:Apartment"},
      {forced + L"\\Server|Count", L"dword:42"},
      {L"Root\\Plain", L""},
      {L"Root\\Plain|@", L"sz:it's plain"},
      {L"Root\\Plain\\Leaf", L""},
  };
  EXPECT_EQ(ListStore(), expected);  // Stale and Old are gone

  // A foreign value on a key the script removes goes with it; a foreign
  // subkey keeps it.
  CreateKey(HKEY_CLASSES_ROOT, L"Root\\Plain\\Foreign");
  ASSERT_EQ(Apply(script, false), S_OK);
  expected = {{L"Root", L""}, {L"Root\\Plain", L""}, {L"Root\\Plain|@", L"sz:it's plain"},
              {L"Root\\Plain\\Foreign", L""}};
  EXPECT_EQ(ListStore(), expected);
}

TEST_F(RegistrarTest, MalformedScriptsAreRefusedWithoutTouchingTheStore) {
  const char* bad[] = {
      "HKCR\n{\n  Key = s 'unterminated\n}\n",
      "HKCR\n{\n  Key\n  {\n    Sub\n}\n",
      "HKCR\n{\n  Key = s '%NOSUCH%'\n}\n",
      "HKCR\n{\n  Key = d 4294967296\n}\n",
      "HKCR\n{\n  Key = d -1\n}\n",
      "HKCR\n{\n  Key = x 'what'\n}\n",
      "HKXX\n{\n}\n",
      "HKCR\n{\n  val Loose = s 'no key'\n}\n",
      "HKCR\n{\n  Key = s '50%'\n}\n",
      "HKCR\n{\n  {unterminated\n}\n",
      "HKCR\n{\n  = s 'x'\n}\n",
  };
  for (const char* script : bad) {
    std::string error;
    EXPECT_EQ(Apply(script, true, &error), E_INVALIDARG) << script;
    EXPECT_FALSE(error.empty()) << script;
    EXPECT_TRUE(ListStore().empty()) << script;
  }
  EXPECT_EQ(Apply(nullptr, true), E_INVALIDARG);
  std::string deep = "HKCR\n{\n";
  for (int i = 0; i < 200; ++i) deep += "K {\n";
  for (int i = 0; i < 200; ++i) deep += "}\n";
  deep += "}\n";
  EXPECT_EQ(Apply(deep.c_str(), true), E_INVALIDARG);
  EXPECT_TRUE(ListStore().empty());
}

TEST_F(RegistrarTest, ParseListsTheChangesInScriptOrder) {
  std::vector<vq::ScriptEntry> entries;
  ASSERT_EQ(vq::ParseRegistryScript("HKLM\n{\n  A = s '%MODULE%'\n  {\n    val N = d 7\n    B\n  }\n}\n",
                                    {{L"MODULE", L"/x.so"}}, &entries),
            S_OK);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_TRUE(entries[0].root == HKEY_LOCAL_MACHINE);
  EXPECT_EQ(entries[0].key, L"A");
  EXPECT_TRUE(entries[0].hasValue);
  EXPECT_EQ(entries[0].text, L"/x.so");
  EXPECT_EQ(entries[1].name, L"N");
  EXPECT_EQ(entries[1].type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(entries[1].text, L"7");
  EXPECT_EQ(entries[2].key, L"A\\B");
  EXPECT_FALSE(entries[2].hasValue);
}

TEST_F(RegistrarTest, TypeLibraryKeysAreWrittenAndRemoved) {
  vq::TypeLibRegistration t;
  t.libid = vq::ParseGuid("11111111-2222-3333-4444-555555555555");
  t.majorVersion = 2;
  t.minorVersion = 10;
  t.helpString = L"Help 'quoted' 100%";
  t.path = L"/opt/lib/libx.so";
  t.interfaces.emplace_back(vq::ParseGuid("66666666-7777-8888-9999-AAAAAAAAAAAA"), L"IThing");
  ASSERT_EQ(vq::RegisterTypeLibKeys(t, true), S_OK);
  auto store = ListStore();
  const std::wstring version = L"TypeLib\\{11111111-2222-3333-4444-555555555555}\\2.a";
  EXPECT_EQ(store[version + L"|@"], L"sz:Help 'quoted' 100%");
  EXPECT_EQ(store[version + L"\\HELPDIR|@"], L"sz:/opt/lib");
  EXPECT_EQ(store[version + L"\\0\\linux64|@"], L"sz:/opt/lib/libx.so");
  EXPECT_EQ(store[L"Interface\\{66666666-7777-8888-9999-AAAAAAAAAAAA}\\TypeLib|Version"], L"sz:2.a");

  // Another version of the same library survives the removal of this one.
  CreateKey(HKEY_CLASSES_ROOT, L"TypeLib\\{11111111-2222-3333-4444-555555555555}\\1.0");
  ASSERT_EQ(vq::RegisterTypeLibKeys(t, false), S_OK);
  std::map<std::wstring, std::wstring> expected = {
      {L"TypeLib", L""},
      {L"TypeLib\\{11111111-2222-3333-4444-555555555555}", L""},
      {L"TypeLib\\{11111111-2222-3333-4444-555555555555}\\1.0", L""},
      {L"Interface", L""},
  };
  EXPECT_EQ(ListStore(), expected);
  t.path.clear();
  EXPECT_EQ(vq::RegisterTypeLibKeys(t, true), E_INVALIDARG);
}

// ---------------------------------------------------------------------------
// Resources.
// ---------------------------------------------------------------------------

TEST(ResourceSectionTest, RecordsAreSplitAndDamageIsRefused) {
  const char good[] = "VQRESOURCES 1\n\0\0\0REGISTRY 101\nHKCR\n{\n}\n\0STRING 100\nName\0\0";
  std::vector<vq::LibraryResource> r;
  ASSERT_EQ(vq::ParseResourceSection(good, sizeof good - 1, &r), S_OK);
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[1].type, "REGISTRY");
  EXPECT_EQ(r[1].id, 101u);
  EXPECT_EQ(r[1].content, "HKCR\n{\n}\n");
  ASSERT_NE(vq::FindLibraryResource(r, "STRING", 100), nullptr);
  EXPECT_EQ(vq::FindLibraryResource(r, "STRING", 100)->content, "Name");
  EXPECT_EQ(vq::FindLibraryResource(r, "STRING", 101), nullptr);

#define LITERAL(s) std::string(s, sizeof(s) - 1)
  const std::string bad[] = {
      LITERAL("VQRESOURCES 1\n\0STRING 100\nunterminated"),  // no terminating zero
      LITERAL("STRING 100\nfirst\0"),                         // no header record
      LITERAL("VQRESOURCES 1\n\0string 1\nx\0"),              // lower-case type
      LITERAL("VQRESOURCES 1\n\0STRING\nx\0"),                // no id
      LITERAL("VQRESOURCES 1\n\0STRING 12345678901\nx\0"),    // id too long
      LITERAL("VQRESOURCES 2\n\0"),                           // unknown format version
      std::string(),                                          // empty
  };
#undef LITERAL
  for (const std::string& c : bad) {
    EXPECT_EQ(vq::ParseResourceSection(c.data(), c.size(), &r), E_INVALIDARG) << c;
  }
  EXPECT_EQ(vq::ParseResourceSection(nullptr, 4, &r), E_INVALIDARG);
}

TEST(ResourceSectionTest, LibraryFilesAreReadWithoutTrustingThem) {
  std::vector<vq::LibraryResource> r;
  EXPECT_EQ(vq::ReadLibraryResources("/nonexistent/lib.so", &r), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(vq::ReadLibraryResources(VQ_PLATFORM_LIBRARY, &r), HRESULT_FROM_WIN32(ERROR_RESOURCE_DATA_NOT_FOUND));

  TempRegistry dir;
  const std::string copy = dir.Dir() + "/lib.so";
  std::stringstream contents;
  contents << std::ifstream(VQ_MATRIX_LIBRARY, std::ios::binary).rdbuf();
  const std::string bytes = contents.str();
  ASSERT_GT(bytes.size(), 4096u);
  auto write = [&](const std::string& data) { std::ofstream(copy, std::ios::binary | std::ios::trunc) << data; };
  write(bytes);
  ASSERT_EQ(vq::ReadLibraryResources(copy.c_str(), &r), S_OK);
  EXPECT_NE(vq::FindLibraryResource(r, "REGISTRY", 101), nullptr);

  // Cut short: the section headers at the end are gone.
  write(bytes.substr(0, bytes.size() / 2));
  EXPECT_EQ(vq::ReadLibraryResources(copy.c_str(), &r), HRESULT_FROM_WIN32(ERROR_BAD_FORMAT));
  // Not ELF at all, and a directory.
  write("#!/bin/sh\n");
  EXPECT_EQ(vq::ReadLibraryResources(copy.c_str(), &r), HRESULT_FROM_WIN32(ERROR_BAD_FORMAT));
  EXPECT_EQ(vq::ReadLibraryResources(dir.Dir().c_str(), &r), HRESULT_FROM_WIN32(ERROR_BAD_FORMAT));
  // Section header table pointing far beyond the file (e_shoff at 0x28).
  std::string moved = bytes;
  const uint64_t far = 0x7FFFFFFFFFFFFF00ull;
  std::memcpy(moved.data() + 0x28, &far, sizeof far);
  write(moved);
  EXPECT_EQ(vq::ReadLibraryResources(copy.c_str(), &r), HRESULT_FROM_WIN32(ERROR_BAD_FORMAT));
}

}  // namespace
