// The transcoding engine: one per conversion task, configured by name=value options.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FFMpegException.h"
#include "LibPtr.h"
#include "RunTables.h"

namespace engine {

constexpr int MaxFiles = 20;
constexpr int MaxStreams = 20;
constexpr int MaxStreamMaps = MaxFiles * MaxStreams;

// Held around every codec open and close of every engine and around input stream analysis:
// several engines run at once and the library's codec opening is not safe against itself.
std::mutex& CodecLock();

struct TStreamMap {
  int32_t InputFile = 0, InputStream = 0, SyncFile = 0, SyncStream = 0;
};

struct TMetadataMap {
  int32_t OutputFile = 0, InputFile = 0;
};

// One opened input: the demuxer and a decoder context per stream.
struct TInputFile {
  InputContextPtr Context;
  std::vector<CodecContextPtr> Decoders;
  int64_t TsOffset = 0;  // microseconds, added to every timestamp read from this file
  int32_t RateEmulation = 0;  // read at the input's own pace ("re" in force when it was opened)
  // Where a start time put the output's beginning, in offset time (microseconds); what decodes
  // before it came from seeking back to a key frame. AV_NOPTS_VALUE: no start time.
  int64_t StartPoint = AV_NOPTS_VALUE;
};

// One created output: the muxer and an encoder context per stream, with the stream's chain of
// bitstream filter names taken over from the options.
struct TOutputFile {
  OutputContextPtr Context;
  // One per stream, by stream index; a stream copy's context is allocated without a codec.
  std::vector<CodecContextPtr> Encoders;
  std::vector<bool> StreamCopy;                             // per stream: copied, not re-encoded
  std::vector<std::vector<std::string>> BitstreamFilters;  // per stream, by stream index
  std::string FileName;
  bool CreatedFile = false;  // we created it on disk (so an empty leftover may be removed)
};

enum THookAction { haContinue, haIgnore, haStop };

class TCustomFFmpeg;

// What the engine needs of the thread that runs it. The real one is TFFmpegThread
// (FFmpegThread.h): created suspended by `Start`, it frees itself when its run ends, after
// `NotifyTerminated` (its last use of the engine).
class TFFmpegWorker {
 public:
  virtual ~TFFmpegWorker() = default;
  virtual void Resume() = 0;
  virtual bool Suspended() const = 0;
};
class TFFmpegThread;

// A span of source time, in microseconds, within which the frame hook modules apply.
struct THookTimeRange {
  int64_t Start = 0, End = 0;
};

// Library log level for an engine verbosity (-1 quiet, 0 errors, 1 information, 2 debug, 3 all).
int VerbosityToLibraryLevel(int32_t verbose);

struct TProgressFigures {
  int32_t FrameNumber = -1;
  int32_t FPS = -1;
  int32_t CurrentDurationMs = 0;
  float Quality = -1.0f;
  float BitRate = 0.0f;  // kbit/s
  int64_t CurrentSize = 0;
  int32_t TotalOutputDurationMs = -1;
};

// A decoded picture offered to the host's frame hook (24-bit BGR rows, row 0 on top).
struct TCustomHookData {
  int64_t Pts = 0;
  int32_t Width = 0, Height = 0;
  uint8_t* Bits = nullptr;
  int32_t Stride = 0;
};

using TLogCallback = std::function<void(TCustomFFmpeg* sender, int level, const std::string& text)>;
using TProgressCallback = std::function<void(TCustomFFmpeg* sender, const TProgressFigures& figures)>;
using TTerminateCallback = std::function<void(TCustomFFmpeg* sender)>;
using TBeforeHookCallback = std::function<void(TCustomFFmpeg* sender, int64_t pts, THookAction& action)>;
using TCustomHookCallback = std::function<void(TCustomFFmpeg* sender, TCustomHookData& data)>;

class TCustomFFmpeg {
 public:
  TCustomFFmpeg();
  virtual ~TCustomFFmpeg();
  TCustomFFmpeg(const TCustomFFmpeg&) = delete;
  TCustomFFmpeg& operator=(const TCustomFFmpeg&) = delete;

  // ---- lifecycle ----
  void Prepare();
  void Reset();
  void ReleaseRunTables();
  void Stop();
  void NotifyTerminated();
  void StopOrNotify();
  // Starts a run: on a new suspended worker (returned; the caller resumes it) or, when
  // `threaded` is false, on the caller's thread (returns null).
  TFFmpegThread* Start(bool threaded);
  void Run();

  // ---- options ----
  void ApplyOption(const std::string& name, const std::string& value);
  bool ApplyGenericOption(const std::string& name, const std::string& value);
  void ApplyGenericOptionInt(const std::string& name, int64_t n);
  void ApplyCodecOptions(void* target, void* defaults, int flags);
  void ResetOptions();
  // Verbosity and the process-wide library log level in one step.
  void SetVerbose(int32_t n);
  void SetFormat(const std::string& name);
  void SetInputFormat(const std::string& name);
  void SetOutputFormat(const std::string& name);
  void SetStartTimeUs(int64_t t);
  void SetProgramId(int32_t n);
  void SetRecordingTimeMs(int64_t ms);
  void SetAudioVolume(int32_t n);
  void SetAudioSync(int32_t n);
  void SetVideoSync(int32_t n);
  void SetMuxMaxDelay(float s);
  void SetMuxPreload(float s);
  void SetYear(int32_t n);
  void SetTrack(int32_t n);
  void SetTitle(const std::string& s);
  void SetAuthor(const std::string& s);
  void SetCopyright(const std::string& s);
  void SetComment(const std::string& s);
  void SetGenre(const std::string& s);
  void SetAlbum(const std::string& s);
  void SetPadColor(int32_t colour);
  void ApplyTarget(const std::string& type, const std::string& norm, const std::string& defaultNorm);

  // ---- files ----
  bool OpenInputFile(const std::string& fileName);
  bool OpenOutputFile(const std::string& fileName);
  // Codec id of a named encoder or decoder of the given media kind (none for an empty name);
  // false with ErrorText set when the name is unknown or of another kind.
  bool FindCodecId(const std::string& name, AVMediaType kind, bool encoder, AVCodecID& id);
  // Which media kinds the opened inputs carry.
  void check_audio_video_sub_inputs(bool& hasVideo, bool& hasAudio, bool& hasSubtitle);
  // Add one stream (with its encoder context) to an output; raise FFMpegException on failure,
  // leaving the output without the stream.
  void new_video_stream(TOutputFile& file);
  void new_audio_stream(TOutputFile& file);
  void new_subtitle_stream(TOutputFile& file);
  // "newvideo", "newaudio", "newsubtitle": a stream for the output created last.
  void NewVideoStreamOption();
  void NewAudioStreamOption();
  void NewSubtitleStreamOption();

  // ---- open-codec lists ----
  void AddOpenEncoder(TOutputStreamState* record);
  void RemoveOpenEncoder(TOutputStreamState* record);
  void CloseOpenEncoders();
  void AddOpenDecoder(TInputStreamState* record);
  void RemoveOpenDecoder(TInputStreamState* record);
  void CloseOpenDecoders();

  // Sends a message to the log callback when one is assigned.
  void Log(int level, const std::string& text);

  // ---- callbacks (called only when assigned) ----
  TBeforeHookCallback BeforeHookCallback;
  TCustomHookCallback CustomHookCallback;
  TLogCallback LogCallback;
  TProgressCallback ProgressCallback;
  TTerminateCallback TerminateCallback;

  // Hook time ranges handed over by the host, sorted by end time; empty means no restriction.
  std::vector<THookTimeRange> HookTimeRanges;

  // ---- file tables ----
  std::vector<TInputFile> InputFiles;
  std::vector<TOutputFile> OutputFiles;
  int32_t InputFileCount() const { return static_cast<int32_t>(InputFiles.size()); }
  int32_t OutputFileCount() const { return static_cast<int32_t>(OutputFiles.size()); }

  // ---- run state ----
  std::vector<TInputFileState> InputFileTable;
  std::vector<std::unique_ptr<TInputStreamState>> InputStreamTable;
  std::vector<std::unique_ptr<TOutputStreamState>> OutputStreamTable;
  std::vector<uint8_t> VideoBitBuffer;
  int32_t VideoBitBufferSize = 262144;
  int64_t VideoBytes = 0, AudioBytes = 0, ExtraBytes = 0;
  int32_t DupFrames = 0, DropFrames = 0;
  int64_t TimerStart = 0;
  int64_t ProgressInterval = 500000;
  int32_t ExpectedDurationMs = -1;
  std::list<TOutputStreamState*> OpenEncoders;  // newest first
  std::list<TInputStreamState*> OpenDecoders;   // newest first
  // Set by `Start` and cleared by `NotifyTerminated`, both under ThreadMutex: `Stop` and the
  // destructor read it from other threads. The destructor waits until it is null.
  TFFmpegWorker* Thread = nullptr;
  std::mutex ThreadMutex;
  bool TerminatePending = false;  // a detached termination notice is on its way (ThreadMutex)
  // Read by other threads while a run goes on.
  std::atomic<bool> Running{false}, StopRequested{false}, Finished{false}, Terminated{false},
      ExceptionRaised{false};
  std::string ErrorMessage;
  std::string ErrorText;
  std::vector<uint8_t> DecodeSamples;  // interleaved 16-bit audio of the last decode
  std::array<int64_t, 52> QpHistogramCounts{};

  // ---- option state: files and maps ----
  std::vector<TStreamMap> StreamMaps;
  std::vector<TMetadataMap> MetadataMaps;
  int32_t StreamMapCount() const { return static_cast<int32_t>(StreamMaps.size()); }
  int32_t MetadataMapCount() const { return static_cast<int32_t>(MetadataMaps.size()); }
  std::array<std::array<double, MaxStreams>, MaxFiles> InputTsScale{};
  const AVInputFormat* ForcedInputFormat = nullptr;
  const AVOutputFormat* ForcedOutputFormat = nullptr;
  int32_t PgmyuvMode = 0;

  // ---- option state: video ----
  int32_t FrameWidth = 0, FrameHeight = 0;
  float FrameAspect = 0.0f;
  int32_t FramePixFmt = -1;
  int32_t FramePadTop = 0, FramePadBottom = 0, FramePadLeft = 0, FramePadRight = 0;
  std::array<int32_t, 3> PadColor{16, 128, 128};
  int32_t FrameCropTop = 0, FrameCropBottom = 0, FrameCropLeft = 0, FrameCropRight = 0;
  std::array<int32_t, 4> MaxFrames{};  // video, audio, data, subtitle
  AVRational FrameRate{0, 0};
  float VideoQScale = 0.0f;
  std::vector<uint16_t> IntraMatrix, InterMatrix;  // empty: none
  std::string RcOverride;
  int32_t VideoDisabled = 0;
  int32_t VideoDiscard = 0;
  std::string VideoCodecName;
  int32_t VideoCopy = 0;
  uint32_t VideoCodecTag = 0;
  int32_t SameQuality = 0;
  int32_t Deinterlace = 0;
  int32_t TopFieldFirst = -1;
  int32_t MeThreshold = 0;
  int32_t DcPrecision = 8;
  int32_t IntraOnly = 0;
  int32_t QpHistogram = 0;
  std::string VideoFilters;
  bool UseFilterGraph = false;
  int32_t VideoGlobalHeader = 0;
  int32_t VideoSyncMethod = -1;
  int32_t VideoChannel = 0;
  std::string VideoStandard;
  bool UsingVhook = false;
  std::vector<std::string> VideoBsfChain;

  // ---- option state: audio ----
  int32_t AudioSampleRate = 44100;
  int32_t AudioChannels = 2;
  int32_t AudioSampleFmt = -1;
  float AudioQScale = -99999.0f;
  int32_t AudioDisabled = 0;
  std::string AudioCodecName;
  int32_t AudioCopy = 0;
  uint32_t AudioCodecTag = 0;
  std::string AudioLanguage;
  int32_t AudioVolume = 256;
  int32_t AudioSyncMethod = 0;
  float AudioDriftThreshold = 0.1f;
  std::vector<std::string> AudioBsfChain;

  // ---- option state: subtitles ----
  int32_t SubtitleDisabled = 0;
  std::string SubtitleCodecName;
  int32_t SubtitleCopy = 0;
  std::string SubtitleLanguage;
  std::vector<std::string> SubtitleBsfChain;

  // ---- option state: time, muxing, output file ----
  int64_t RecordingTime = std::numeric_limits<int64_t>::max();
  int64_t StartTime = 0;
  int64_t InputTsOffset = 0;
  int64_t RecordTimestamp = 0;
  int64_t LimitFileSize = 0;
  float MuxPreload = 0.5f;
  float MuxMaxDelay = 0.7f;
  int32_t LoopInput = 0;
  int32_t LoopOutput = -1;
  std::string Title, Author, Copyright, Comment, Genre, Album;
  int32_t Year = 0, Track = 0;
  bool CopyTs = false;
  int32_t Shortest = 0;
  int32_t InputSync = 0;
  float DtsDeltaThreshold = 10.0f;
  int32_t ProgramId = 0;
  int32_t RateEmulation = 0;

  // ---- option state: run behaviour and statistics ----
  int32_t Verbose = 1;
  int32_t ThreadCount = 1;
  bool ExitOnError = false;
  int32_t HexDump = 0, PacketDump = 0;
  int32_t DoPsnr = 0;
  int32_t PassNumber = 0;
  std::string PassLogPrefix;
  std::string VstatsFileName;
  std::FILE* VstatsFile = nullptr;
  int32_t SwsFlags = 4;  // SWS_BICUBIC

  // ---- generic option store ----
  std::array<CodecContextPtr, 5> CodecDefaults;  // video, audio, data, subtitle, attachment
  FormatContextPtr FormatDefaults;
  SwsContextPtr ScalerDefaults;
  std::vector<std::string> GenericOptionNames;
  // Options of some muxer's own (e.g. "muxrate"), known to no holder: kept as text and handed to
  // the output's muxer by ApplyCodecOptions.
  DictPtr FormatPrivateOptions;

 protected:
  // The transcode proper (setup, loop, end); raises FFMpegException on failure.
  void Transcode();
  // Its parts: the run tables, codecs and headers; the packet loop and the end of the run.
  void SetupTranscode();
  void RunMainLoop();
  // Decodes one packet of `ist` (or drains its decoder when `packet` is null) and dispatches the
  // result to every output stream fed by it; -1 when decoding failed.
  int ProcessPacket(TInputStreamState& ist, int position, AVPacket* packet);
  bool SkipBeforeStart(TInputStreamState& ist, const AVFrame* frame, int kind, const uint8_t*& block,
                       int& size);
  int FindProgramStream(int programId, int kind);

 public:
  // ---- media paths (audio, video, report); called by the loop ----
  // A decoded block of interleaved signed 16-bit samples at the decoder's rate and channel count.
  void EncodeAudioBlock(TOutputFile& file, TOutputStreamState& ost, TInputStreamState& ist,
                        const uint8_t* buffer, int size);
  // `outFrameSize` receives the bytes of the last frame encoded by this call (0 when none).
  void EncodeVideoFrame(TOutputFile& file, TOutputStreamState& ost, TInputStreamState& ist,
                        AVFrame* picture, int& outFrameSize);
  void WriteVideoStats(TOutputFile& file, TOutputStreamState& ost, int frameSize);
  void ReportProgress(bool final);
  // End of the input for one re-encoded output stream: audio encodes what its FIFO still holds
  // (a short last frame where the encoder accepts one, else padded with silence), then the encoder
  // is drained (send/receive with no frame) and every packet written; counters, pass log and the
  // last quality figures are kept as for ordinary packets. Safe to call once per stream.
  void FlushEncoder(TOutputFile& file, TOutputStreamState& ost);

  // ---- packet writing; called by the paths and the stream copy ----
  // Runs the stream's bitstream filters and hands every resulting packet to the interleaver.
  // The media paths hand packets whose pts/dts/duration are already in ost.Stream->time_base and
  // whose stream_index is ost.Index; WritePacket keeps ost.LastPacketEnd (pts + duration of the
  // last packet written, in that time base), which the report uses as a non-video stream's time.
  void WritePacket(TOutputFile& file, AVPacket* packet, TOutputStreamState& ost);
  // End of the run: writes what the stream's bitstream filters still hold.
  void FlushBitstreamFilters(TOutputFile& file, TOutputStreamState& ost);
};

class TFFmpeg : public TCustomFFmpeg {};

}  // namespace engine
