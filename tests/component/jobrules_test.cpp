// Output naming, the AVI record and what a source's facts fill in.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "AVProbe.h"
#include "JobRules.h"
#include "LibrarySet.h"
#include "fixture_names.h"

using namespace component;
using namespace component::jobrules;
namespace fs = std::filesystem;

namespace {

fs::path ScratchDir(const std::string& name) {
  fs::path dir = fs::path(QV_TEST_BUILD_DIR) / "jobrules" / name;
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

void Touch(const fs::path& file) { std::ofstream(file) << "x"; }

}  // namespace

TEST(JobRules, LabelGivesExtensionAndFormatName) {
  EXPECT_EQ(OutputExtension(kAviLabel), ".avi");
  EXPECT_EQ(FormatName(kAviLabel), "AVI Video");
  EXPECT_EQ(FormatName("MPEG*4 Video (*.mp4)"), "MPEGx4 Video");
  EXPECT_EQ(OutputExtension("MPEG*4 Video (*.mp4)"), ".mp4");
}

TEST(JobRules, UniqueOutputNameNumbersCollisionsAndNeverReusesAName) {
  fs::path dir = ScratchDir("unique");
  const std::string base = (dir / "clip.3gp").string();
  std::string first = UniqueOutputName(base, ".avi", "AVI Video");
  EXPECT_EQ(first, (dir / "clip (AVI Video).avi").string());
  Touch(first);
  std::string second = UniqueOutputName(base, ".avi", "AVI Video");
  EXPECT_EQ(second, (dir / "clip (AVI Video [1]).avi").string());
  Touch(second);
  EXPECT_EQ(UniqueOutputName(base, ".avi", "AVI Video"), (dir / "clip (AVI Video [2]).avi").string());
  // A dangling link is taken too: writing through it would create a file elsewhere.
  fs::create_symlink(dir / "nowhere", dir / "clip (AVI Video [2]).avi");
  EXPECT_EQ(UniqueOutputName(base, ".avi", "AVI Video"), (dir / "clip (AVI Video [3]).avi").string());

  // Names handed out in one batch but not yet on disk count as taken as well.
  std::set<std::string> reserved = {"out/a (AVI Video).avi"};
  auto taken = [&](const std::string& name) { return reserved.count(name) > 0; };
  EXPECT_EQ(UniqueOutputName("out/a.3gp", ".avi", "AVI Video", taken), "out/a (AVI Video [1]).avi");
  // Only the last extension goes; a dotted folder keeps its dot.
  EXPECT_EQ(UniqueOutputName("my.dir/clip", ".avi", "AVI Video", taken), "my.dir/clip (AVI Video).avi");
  EXPECT_EQ(UniqueOutputName("a.b.3gp", ".avi", "AVI Video", taken), "a.b (AVI Video).avi");
}

TEST(JobRules, AudioExtensionListMatchesWholeEntries) {
  for (const char* ext : {".mp3", ".wav", ".ra", ".flac", ".MP3"}) EXPECT_TRUE(InAudioExtensionList(ext)) << ext;
  for (const char* ext : {"", ".a", ".3gp", ".mp", "mp3", ".avi"}) EXPECT_FALSE(InAudioExtensionList(ext)) << ext;
  EXPECT_EQ(FileExtension("dir.x/clip"), "");
  EXPECT_EQ(FileExtension("dir/clip.3gp"), ".3gp");
}

TEST(JobRules, BaseNameAndOutputFolder) {
  EXPECT_EQ(BaseFileName("/src/clip.3gp", true, "/ignored"), "/src/clip.3gp");
  EXPECT_EQ(BaseFileName("/src/clip.3gp", false, "/out"), "/out/clip.3gp");
  EXPECT_EQ(BaseFileName("/src/clip.3gp", false, "/out/"), "/out/clip.3gp");

  fs::path dir = ScratchDir("folder");
  std::string error;
  EXPECT_TRUE(MakeOutputFolder((dir / "a/b/c").string(), error)) << error;
  EXPECT_TRUE(fs::is_directory(dir / "a/b/c"));
  EXPECT_TRUE(MakeOutputFolder((dir / "a/b/c").string(), error));
  Touch(dir / "file");
  EXPECT_FALSE(MakeOutputFolder((dir / "file").string(), error));
  EXPECT_NE(error.find((dir / "file").string()), std::string::npos) << error;
}

TEST(JobRules, TargetRecordSetsAviParametersThenFillsWhatIsOpen) {
  TSourceFacts phone;
  phone.HasAudio = true;
  phone.AudioChannels = 1;
  phone.AudioSampleRate = 8000;
  phone.AudioBitRate = 12200;
  phone.HasVideo = true;
  phone.VideoWidth = 176;
  phone.VideoHeight = 144;
  TOutputOptions avi = TargetRecord(kAviLabel, "/src/clip.3gp", phone);
  EXPECT_EQ(avi.VideoCodec, "msmpeg4v2");
  EXPECT_EQ(avi.AudioCodec, "pcm_s16le");
  // The AVI entry is set before the facts are consulted, so they do not override it.
  EXPECT_EQ(avi.AudioChannels, 2);
  EXPECT_EQ(avi.AudioRate, 44100);
  EXPECT_EQ(avi.AudioBitRate, 128000);
  EXPECT_EQ(avi.VideoBitRate, 1200000);
  EXPECT_EQ(avi.FrameSize, "176x144");
  EXPECT_FALSE(avi.NoVideo);

  // Another label leaves the audio open: the facts fill it, and video gets 1,500,000.
  TOutputOptions other = TargetRecord("Other (*.mkv)", "/src/clip.3gp", phone);
  EXPECT_EQ(other.AudioChannels, 1);
  EXPECT_EQ(other.AudioRate, 8000);
  EXPECT_EQ(other.AudioBitRate, 12200);
  EXPECT_EQ(other.VideoBitRate, 1500000);
  EXPECT_TRUE(other.VideoCodec.empty());
}

TEST(JobRules, SourcesWithoutVideoConvertToAudioOnly) {
  TSourceFacts voiceMemo;  // a .3gp holding only audio
  voiceMemo.HasAudio = true;
  voiceMemo.AudioChannels = 1;
  TOutputOptions memo = TargetRecord(kAviLabel, "/src/memo.3gp", voiceMemo);
  EXPECT_TRUE(memo.NoVideo);
  EXPECT_TRUE(memo.FrameSize.empty()) << "never \"-1x-1\"";

  TSourceFacts song = voiceMemo;
  song.HasVideo = true;  // cover art counts as video, the extension still says audio
  EXPECT_TRUE(TargetRecord(kAviLabel, "/src/song.mp3", song).NoVideo);
  EXPECT_TRUE(TargetRecord("Wave (*.wav)", "/src/clip.3gp", song).NoVideo);

  TSourceFacts unknownSize = song;
  unknownSize.VideoWidth = unknownSize.VideoHeight = -1;
  TOutputOptions keep = TargetRecord(kAviLabel, "/src/clip.3gp", unknownSize);
  EXPECT_FALSE(keep.NoVideo);
  EXPECT_TRUE(keep.FrameSize.empty());
}

TEST(JobRules, FactsComeFromTheProbe) {
  ASSERT_TRUE(libbind::BindLibrarySet(QV_LIB_DIR, true)) << libbind::LibrarySetError();
  TAVProbe probe;
  ASSERT_TRUE(probe.OpenMedia(std::string(QV_FIXTURE_DIR) + "/" + std::string(qv::fixtures::kMpeg4Aac)));
  TSourceFacts facts = ReadSourceFacts(probe);
  EXPECT_TRUE(facts.HasVideo);
  EXPECT_EQ(facts.VideoWidth, 352);
  EXPECT_EQ(facts.VideoHeight, 288);
  EXPECT_TRUE(facts.HasAudio);
  EXPECT_EQ(facts.AudioChannels, 2);
  EXPECT_EQ(facts.AudioSampleRate, 44100);

  ASSERT_TRUE(probe.OpenMedia(std::string(QV_FIXTURE_DIR) + "/" + std::string(qv::fixtures::kAudioOnly)));
  facts = ReadSourceFacts(probe);
  EXPECT_FALSE(facts.HasVideo);
  EXPECT_TRUE(facts.HasAudio);
  EXPECT_EQ(facts.AudioChannels, 1);
  EXPECT_TRUE(TargetRecord(kAviLabel, probe.MediaFileName(), facts).NoVideo);
}
