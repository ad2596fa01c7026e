#pragma once
// libFLAC, loaded at run time: the stream encoder with the metadata-object calls that build
// the comment block, and the stream decoder. The two sets are resolved separately, so a
// writer needs only the encoder's entry points and a reader only the decoder's. libFLAC 1.4
// has only the stream interfaces; the older file encoder no longer exists.
#include <FLAC/metadata.h>
#include <FLAC/stream_decoder.h>
#include <FLAC/stream_encoder.h>
#include <string>

constexpr const char* KY_FLAC_LIBRARY = "libFLAC.so.12";

struct kyFlacEncoderLibrary {
    decltype(&FLAC__stream_encoder_new) encoderNew;
    decltype(&FLAC__stream_encoder_delete) encoderDelete;
    decltype(&FLAC__stream_encoder_set_verify) setVerify;
    decltype(&FLAC__stream_encoder_set_channels) setChannels;
    decltype(&FLAC__stream_encoder_set_bits_per_sample) setBitsPerSample;
    decltype(&FLAC__stream_encoder_set_sample_rate) setSampleRate;
    decltype(&FLAC__stream_encoder_set_compression_level) setCompressionLevel;
    decltype(&FLAC__stream_encoder_set_total_samples_estimate) setTotalSamplesEstimate;
    decltype(&FLAC__stream_encoder_set_metadata) setMetadata;
    decltype(&FLAC__stream_encoder_get_blocksize) getBlocksize;
    decltype(&FLAC__stream_encoder_get_state) getState;
    decltype(&FLAC__stream_encoder_init_stream) initStream;
    decltype(&FLAC__stream_encoder_process) process;
    decltype(&FLAC__stream_encoder_process_interleaved) processInterleaved;
    decltype(&FLAC__stream_encoder_finish) finish;
    decltype(&FLAC__metadata_object_new) objectNew;
    decltype(&FLAC__metadata_object_delete) objectDelete;
    decltype(&FLAC__metadata_object_vorbiscomment_entry_from_name_value_pair) commentEntry;
    decltype(&FLAC__metadata_object_vorbiscomment_append_comment) appendComment;
    decltype(&FLAC__metadata_object_picture_set_mime_type) pictureSetMimeType;
    decltype(&FLAC__metadata_object_picture_set_data) pictureSetData;

    // The table, resolved once per process; null when the library or an entry point is
    // missing (Missing() then says which).
    static const kyFlacEncoderLibrary* Get();
    static const std::string& Missing();
};

struct kyFlacDecoderLibrary {
    decltype(&FLAC__stream_decoder_new) decoderNew;
    decltype(&FLAC__stream_decoder_delete) decoderDelete;
    decltype(&FLAC__stream_decoder_set_md5_checking) setMd5Checking;
    decltype(&FLAC__stream_decoder_init_stream) initStream;
    decltype(&FLAC__stream_decoder_process_single) processSingle;
    decltype(&FLAC__stream_decoder_process_until_end_of_metadata) processMetadata;
    decltype(&FLAC__stream_decoder_seek_absolute) seekAbsolute;
    decltype(&FLAC__stream_decoder_flush) flush;
    decltype(&FLAC__stream_decoder_get_state) getState;
    decltype(&FLAC__stream_decoder_finish) finish;

    static const kyFlacDecoderLibrary* Get();
    static const std::string& Missing();
};
