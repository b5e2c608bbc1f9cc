#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/tervaloctl.h"
#include "core/bytes.h"

namespace tervalo {
namespace {

namespace fs = std::filesystem;
using Bytes8 = std::vector<std::uint8_t>;

struct CliRun {
  int code;
  std::string out;
  std::string err;
};

CliRun tervaloctl(std::vector<std::string> args) {
  args.insert(args.begin(), "tervaloctl");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  std::ostringstream out, err;
  std::istringstream in;
  const int code = cli::runTervaloctl(static_cast<int>(argv.size()), argv.data(), out, err, in);
  return {code, out.str(), err.str()};
}

void writeFile(const fs::path& p, const Bytes8& bytes) {
  std::ofstream f(p, std::ios::binary);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes8 readFile(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return Bytes8(std::istreambuf_iterator<char>(f), {});
}

struct ImageCli : ::testing::Test {
  fs::path dir;
  std::string head, sub1, sub2, big;

  void SetUp() override {
    dir = fs::path(::testing::TempDir()) /
          ("tervalo_image_cli_" + std::to_string(::getpid()) + "_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir);
    fs::create_directories(dir / "in");
    fs::create_directories(dir / "out");
    Bytes8 h(0x1000, 0x11);
    std::copy_n("FIPS", 4, h.begin());
    writeLe(h, 0x10, 3, 0x78000);
    head = (dir / "in" / "spihead.bin").string();
    writeFile(head, h);
    sub1 = (dir / "in" / "CODE_3A.BIN").string();
    writeFile(sub1, Bytes8(0x800, 0x3A));
    sub2 = (dir / "in" / "PART2.BIN").string();
    writeFile(sub2, Bytes8(0xC000, 0x22));
    big = (dir / "in" / "BIG.BIN").string();
    writeFile(big, Bytes8(0xC001, 0x99));
  }
  void TearDown() override { fs::remove_all(dir); }
  std::string out(const char* name) const { return (dir / "out" / name).string(); }
  std::size_t outFiles() const { return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir / "out"), {})); }
};

TEST_F(ImageCli, BuildIsReproducibleWithASeedAndTheLoaderAcceptsIt) {
  const CliRun a = tervaloctl({"image", "build", "--head", head, "--sub", sub1, "--seed", "7", "-o", out("a.bin")});
  ASSERT_EQ(a.code, 0) << a.err;
  const CliRun b = tervaloctl({"image", "build", "--head", head, "--sub", sub1, "--seed", "7", "-o", out("b")});
  ASSERT_EQ(b.code, 0) << b.err;
  const Bytes8 ia = readFile(out("a.bin")), ib = readFile(out("b.bin"));
  EXPECT_EQ(ia.size(), 0x80000u);
  EXPECT_EQ(ia, ib);
  const CliRun c = tervaloctl({"image", "build", "--head", head, "--sub", sub1, "--seed", "8", "-o", out("c.dat")});
  ASSERT_EQ(c.code, 0) << c.err;
  EXPECT_NE(readFile(out("c.bin")), ia);

  const CliRun check = tervaloctl({"firmware", "check", out("a.bin")});
  EXPECT_EQ(check.code, 0) << check.err;
  std::uint32_t sum = 0;
  for (auto v : ia) sum += v;
  char expected[32];
  std::snprintf(expected, sizeof expected, "Chksum:%08X", sum);
  EXPECT_NE(check.out.find(expected), std::string::npos) << check.out;
  EXPECT_NE(check.out.find("Accepted"), std::string::npos);

  const CliRun json = tervaloctl({"firmware", "check", out("a.bin"), "--json"});
  const auto j = nlohmann::json::parse(json.out);
  EXPECT_EQ(j["accepted"], true);
  EXPECT_EQ(j["sum"], sum);
  EXPECT_EQ(j["length"], 0x80000);
}

TEST_F(ImageCli, InfoShowsWhatWasPutIn) {
  const CliRun b = tervaloctl({"image", "build", "--head", head, "--sub", sub1, "--sub", sub2 + ":13H:false",
                            "--no-jumper", "--other-chip", "--fan-supported", "18", "--thermal-supported", "2",
                            "--fan-limit", "1F40H", "--thermal-limit", "60", "--schedule-backup", "--seed", "1",
                            "-o", out("x.bin")});
  ASSERT_EQ(b.code, 0) << b.err;
  const CliRun info = tervaloctl({"image", "info", out("x.bin"), "--json"});
  ASSERT_EQ(info.code, 0) << info.err;
  const auto j = nlohmann::json::parse(info.out);
  EXPECT_EQ(j["length"], 0x80000);
  EXPECT_EQ(j["signature"], "FIPS");
  EXPECT_EQ(j["settingsOffset"], 0x78000);
  EXPECT_EQ(j["accepted"], true);
  const auto& s = j["settingsBlock"];
  EXPECT_EQ(s["configVersion"], 0xA0);
  EXPECT_EQ(s["directory"][0]["codeType"], 0x3A);
  EXPECT_EQ(s["directory"][0]["startOffset"], 0xC000);
  EXPECT_EQ(s["directory"][0]["update"], true);
  EXPECT_EQ(s["directory"][1]["codeType"], 0x13);
  EXPECT_EQ(s["directory"][1]["startOffset"], 0x18000);
  EXPECT_EQ(s["directory"][1]["update"], false);
  EXPECT_EQ(s["directory"][2]["used"], false);
  EXPECT_EQ(s["endOffset"], 0x24000);
  EXPECT_EQ(s["settingFlags"], 0x11);
  EXPECT_EQ(s["systemRaidMode"], 0x3F);
  EXPECT_EQ(s["chip"], 0x85);
  EXPECT_EQ(s["supportByte"], 0x32);
  EXPECT_EQ(s["fanAlarmLimitRpm"], 8000);
  EXPECT_EQ(s["thermalAlarmLimitC"], 60);
  EXPECT_EQ(s["functionFlags"], 0x88);  // Schedule Backup and code type 13h
  EXPECT_EQ(s["marker"], "MERLIX");
  EXPECT_EQ(s["checksumHolds"], true);

  const CliRun text = tervaloctl({"image", "info", out("x.bin")});
  ASSERT_EQ(text.code, 0);
  for (const char* line : {"Settings offset H: 0x78000", "0: code type 3Ah, start 0x00C000, update flag 0x5A TRUE",
                           "1: code type 13h, start 0x018000, update flag 0x00 FALSE", "Fan alarm limit (H+0x6D): 8000 RPM",
                           "End offset (H+0x34): 0x024000", ", holds", "Loader: accepts the image"})
    EXPECT_NE(text.out.find(line), std::string::npos) << line << "\n" << text.out;
}

TEST_F(ImageCli, InfoReportsABrokenChecksumAndARefusedImage) {
  ASSERT_EQ(tervaloctl({"image", "build", "--head", head, "--seed", "1", "-o", out("x.bin")}).code, 0);
  Bytes8 img = readFile(out("x.bin"));
  img[0x78040] ^= 1;
  img[0x78001] = 0xA1;
  writeFile(out("y.bin"), img);
  const auto j = nlohmann::json::parse(tervaloctl({"image", "info", out("y.bin"), "--json"}).out);
  EXPECT_EQ(j["settingsBlock"]["checksumHolds"], false);
  EXPECT_EQ(j["accepted"], false);
  EXPECT_NE(j["reason"].get<std::string>().find("0xA1"), std::string::npos);

  const CliRun check = tervaloctl({"firmware", "check", out("y.bin")});
  EXPECT_NE(check.code, 0);
  EXPECT_NE(check.err.find("The firmware file is not correct."), std::string::npos);
  EXPECT_NE(check.err.find("Refused:"), std::string::npos);
}

TEST_F(ImageCli, BadInputExitsNonZeroAndWritesNothing) {
  const std::string o = out("bad.bin");
  struct Case {
    const char* name;
    std::vector<std::string> args;
    const char* inError;
  };
  const std::vector<Case> cases = {
      {"missing head", {"--head", (dir / "in" / "none.bin").string()}, "Cannot open the head file"},
      {"sub-code over 0xC000", {"--head", head, "--sub", big}, "BIG.BIN"},
      {"unreadable fan limit", {"--head", head, "--fan-limit", "2k"}, "'2k' is not a valid integer value"},
      {"empty thermal limit", {"--head", head, "--thermal-limit", ""}, "Thermal sensor Alarm Limit"},
      {"size too small", {"--head", head, "--size", "2M"}, "cannot hold"},
      {"unknown size", {"--head", head, "--size", "3M"}, "--size"},
      {"bad code type", {"--head", head, "--sub", sub1 + ":xyz"}, "code type 'xyz'"},
      {"bad seed", {"--head", head, "--seed", "seven"}, "--seed"},
      {"eleven sub-codes",
       {"--head", head, "--sub", sub1, "--sub", sub1, "--sub", sub1, "--sub", sub1, "--sub", sub1, "--sub", sub1,
        "--sub", sub1, "--sub", sub1, "--sub", sub1, "--sub", sub1, "--sub", sub1},
       "at most 10"},
      {"slots reach H",
       {"--head", head, "--sub", sub1, "--sub", sub1, "--sub", sub1, "--sub", sub1, "--sub", sub1, "--sub", sub1,
        "--sub", sub1, "--sub", sub1, "--sub", sub1, "--sub", sub1},
       "beyond the settings offset"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args{"image", "build"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.insert(args.end(), {"-o", o});
    const CliRun r = tervaloctl(args);
    EXPECT_NE(r.code, 0);
    EXPECT_NE(r.err.find(c.inError), std::string::npos) << r.err;
    EXPECT_EQ(outFiles(), 0u);
  }

  // A name too long once ".bin" is appended.
  const std::string longName = (dir / "out" / std::string(200, 'n')).string();
  const CliRun r = tervaloctl({"image", "build", "--head", head, "-o", longName});
  EXPECT_NE(r.code, 0);
  EXPECT_NE(r.err.find("too long"), std::string::npos) << r.err;

  // A folder that does not exist: nothing is created.
  const CliRun nodir = tervaloctl({"image", "build", "--head", head, "-o", (dir / "out" / "sub" / "x.bin").string()});
  EXPECT_NE(nodir.code, 0);
  EXPECT_NE(nodir.err.find("Fail to create file"), std::string::npos) << nodir.err;
  EXPECT_EQ(outFiles(), 0u);
}

TEST_F(ImageCli, BadBuildLeavesAnExistingOutputAlone) {
  writeFile(out("keep.bin"), Bytes8{9, 9, 9});
  EXPECT_NE(tervaloctl({"image", "build", "--head", head, "--sub", big, "-o", out("keep.bin")}).code, 0);
  EXPECT_EQ(readFile(out("keep.bin")), (Bytes8{9, 9, 9}));
}

TEST_F(ImageCli, UnreadableFilesExitNonZero) {
  const std::string missing = (dir / "in" / "none.bin").string();
  const CliRun check = tervaloctl({"firmware", "check", missing});
  EXPECT_NE(check.code, 0);
  EXPECT_NE(check.err.find("Fail to open firmware file"), std::string::npos) << check.err;
  const CliRun info = tervaloctl({"image", "info", missing});
  EXPECT_NE(info.code, 0);
  EXPECT_NE(info.err.find("cannot open"), std::string::npos) << info.err;
  const CliRun shortFile = tervaloctl({"firmware", "check", sub1, "--json"});
  EXPECT_NE(shortFile.code, 0);
  const auto j = nlohmann::json::parse(shortFile.out);
  EXPECT_EQ(j["accepted"], false);
  EXPECT_EQ(j["length"], 0x800);
  EXPECT_EQ(j["chksum"], "Chksum:0001D000");  // 0x800 x 0x3A
}

}  // namespace
}  // namespace tervalo
