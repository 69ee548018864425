// The coded-stream facts of the encoder in one place: field widths and code values of the raw
// data block syntax (ISO/IEC 14496-3, 4.4.2), the AudioSpecificConfig fields (1.6.2.1), the
// MPEG-4 systems descriptor values the audio track carries (ISO/IEC 14496-1, 7.2.6.6), and the
// numeric ids of the encoder's option, stream-property and bit-counter interfaces. The syntax
// writer, the bit counts of rate control and the front end all take their numbers from here,
// so what is counted and what is written cannot drift apart.
#pragma once

#include <cstdint>

namespace varnel {

// ---------------------------------------------------------------- raw_data_block, in bits
inline constexpr int kIdSynEleBits = 3;             // id_syn_ele
inline constexpr int kElementInstanceTagBits = 4;   // element_instance_tag
inline constexpr int kCommonWindowBits = 1;         // common_window
inline constexpr int kGlobalGainBits = 8;           // global_gain
inline constexpr int kIcsReservedBits = 1;          // ics_reserved_bit
inline constexpr int kWindowSequenceBits = 2;       // window_sequence
inline constexpr int kWindowShapeBits = 1;          // window_shape
inline constexpr int kMaxSfbBitsLong = 6;           // max_sfb, long blocks
inline constexpr int kMaxSfbBitsShort = 4;          // max_sfb, eight short windows
inline constexpr int kScaleFactorGroupingBits = 7;  // scale_factor_grouping
inline constexpr int kPredictorDataPresentBits = 1; // predictor_data_present (long blocks)
inline constexpr int kMsMaskPresentBits = 2;        // ms_mask_present
inline constexpr int kMsUsedBits = 1;               // ms_used, per group and band
// pulse_data_present, tns_data_present, gain_control_data_present.
inline constexpr int kToolFlagBits = 3;

// section_data: sect_cb, and sect_len written as escape values 2^width - 1 and a remainder.
inline constexpr int kSectCbBits = 4;
inline constexpr int kSectLenBitsLong = 5;
inline constexpr int kSectLenBitsShort = 3;

// scale_factor_data: the first noise band's dpcm_noise_nrg (the others, like scalefactors,
// use the scalefactor codebook).
inline constexpr int kDpcmNoiseNrgBits = 9;

// tns_data, long blocks / eight short windows.
inline constexpr int kTnsNumFiltBitsLong = 2;
inline constexpr int kTnsNumFiltBitsShort = 1;
inline constexpr int kTnsCoefResBits = 1;
inline constexpr int kTnsLengthBitsLong = 6;
inline constexpr int kTnsLengthBitsShort = 4;
inline constexpr int kTnsOrderBitsLong = 5;
inline constexpr int kTnsOrderBitsShort = 3;
inline constexpr int kTnsDirectionBits = 1;
inline constexpr int kTnsCoefCompressBits = 1;
inline constexpr int kTnsCoefBaseBits = 3;  // coefficient width = 3 + coef_res - coef_compress

// global_gain is globalGain + 100.
inline constexpr int kGlobalGainOffset = 100;

// id_syn_ele values.
inline constexpr uint32_t ID_SCE = 0;
inline constexpr uint32_t ID_CPE = 1;
inline constexpr uint32_t ID_LFE = 3;
inline constexpr uint32_t ID_END = 7;

// The element_instance_tag of a mono or stereo stream's element; the elements of a stream of 3
// to 8 channels are numbered from 0 within each kind.
inline constexpr int kElementInstanceTag = 3;

// ---------------------------------------------------------------- AudioSpecificConfig, in bits
inline constexpr int kAudioObjectTypeBits = 5;
inline constexpr int kSamplingFrequencyIndexBits = 4;
inline constexpr int kChannelConfigurationBits = 4;
inline constexpr uint32_t kAacLowComplexity = 2;  // audioObjectType
// Backward-compatible explicit signalling that no SBR data follows (1.6.5.2): after the
// GASpecificConfig, syncExtensionType 0x2B7, extensionAudioObjectType 5 (SBR) and
// sbrPresentFlag 0. Written at 24000 Hz and below, where a decoder may otherwise assume
// implicit SBR and play the stream at twice its rate.
inline constexpr int kSyncExtensionTypeBits = 11;
inline constexpr uint32_t kSyncExtensionType = 0x2B7;
inline constexpr uint32_t kSbrObjectType = 5;
inline constexpr int kHighestRateForImplicitSbr = 24000;
// The longest AudioSpecificConfig written: 13 + 3 bits, then 17 more bits padded to whole bytes.
inline constexpr uint32_t kParametricStereoSyncType = 0x548;
inline constexpr int kMaxAudioSpecificConfigBytes = 7;

// ---------------------------------------------------------------- adts_frame header (1.A.2.2), in bits
// adts_fixed_header, then adts_variable_header; without CRC (protection_absent 1) 7 bytes.
inline constexpr int kAdtsSyncwordBits = 12;
inline constexpr uint32_t kAdtsSyncword = 0xFFF;
inline constexpr int kAdtsIdBits = 1;
inline constexpr uint32_t kAdtsIdMpeg4 = 0;
inline constexpr int kAdtsLayerBits = 2;              // always 0
inline constexpr int kAdtsProtectionAbsentBits = 1;
inline constexpr int kAdtsProfileBits = 2;            // profile_ObjectType: audioObjectType - 1
inline constexpr int kAdtsPrivateBitBits = 1;
inline constexpr int kAdtsChannelConfigurationBits = 3;
// original_copy, home, copyright_identification_bit, copyright_identification_start.
inline constexpr int kAdtsFlagBits = 4;
inline constexpr int kAdtsFrameLengthBits = 13;       // header and raw data block, in bytes
inline constexpr int kAdtsBufferFullnessBits = 11;
inline constexpr uint32_t kAdtsBufferFullnessVariable = 0x7FF;
inline constexpr int kAdtsRawDataBlocksBits = 2;      // number_of_raw_data_blocks_in_frame - 1
inline constexpr int kAdtsHeaderBytes = 7;

// ---------------------------------------------------------------- the audio track's descriptors
inline constexpr uint32_t kAudioObjectTypeIndication = 0x40;  // objectTypeIndication: ISO/IEC 14496-3 audio
inline constexpr uint32_t kAudioStreamType = 5;               // streamType: AudioStream
inline constexpr uint32_t kAudioEsId = 1;                     // ES_ID of the audio stream
inline constexpr uint32_t kAudioBufferSizeDb = 1024;          // bufferSizeDB, bytes (mono, stereo)
// bufferSizeDB of a stream of more channels: the decoder's input buffer, 6144 bits a channel.
constexpr uint32_t audioBufferSizeDb(uint32_t channels) { return channels > 2 ? channels * 768 : kAudioBufferSizeDb; }

// ---------------------------------------------------------------- interface ids
// The encoder's setOption id, and its option bits.
inline constexpr int kOptionBitsId = 1;
inline constexpr int32_t kOptionTns = 1;  // temporal noise shaping
inline constexpr int32_t kOptionPns = 2;  // perceptual noise substitution
// The perceptual mode: a psychoacoustic model decides the scalefactors, the frame's bits, the
// coded bandwidth, mid/side per band and, with kOptionPns, which bands are sent as noise.
inline constexpr int32_t kOptionPerceptual = 4;
// Mid/side stereo for channel pairs; without it a pair is always coded left/right.
inline constexpr int32_t kOptionMidSide = 8;

// Frame-source (input stream) properties: set 3, 4, 7 and 13; read 8 to 12.
inline constexpr int kPropertyFrameLength = 3;    // set: samples per channel per frame
inline constexpr int kPropertyChannels = 4;       // set: channel count
inline constexpr int kPropertyAllocate = 7;       // set: make sure the sample buffer exists
inline constexpr int kPropertySampleBuffer = 8;   // read: the sample buffer
inline constexpr int kPropertyValuesRead = 9;     // read: values in the last frame
inline constexpr int kPropertyFrameLengthRead = 10;
inline constexpr int kPropertyChannelsRead = 11;
inline constexpr int kPropertySampleRate = 12;
inline constexpr int kPropertyTrailingSilentFrames = 13;  // set, before the first frame: flush frames

// Bit writer counters: query 1 (total) and 2 (current), control 3 (clear) and 4 (fold).
inline constexpr int kCounterTotal = 1;
inline constexpr int kCounterCurrent = 2;
inline constexpr int kCounterClear = 3;
inline constexpr int kCounterFold = 4;

}  // namespace varnel
