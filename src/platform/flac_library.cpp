#include "platform/flac_library.h"
#include "platform/library_loader.h"

namespace {
const kyResolvedTable<kyFlacEncoderLibrary>& encoder() {
    static const kyResolvedTable<kyFlacEncoderLibrary> r = [] {
        kyResolvedTable<kyFlacEncoderLibrary> r;
        kyFlacEncoderLibrary& t = r.table;
        kyEntryPoints get(KY_FLAC_LIBRARY);
        get("FLAC__stream_encoder_new", t.encoderNew);
        get("FLAC__stream_encoder_delete", t.encoderDelete);
        get("FLAC__stream_encoder_set_verify", t.setVerify);
        get("FLAC__stream_encoder_set_channels", t.setChannels);
        get("FLAC__stream_encoder_set_bits_per_sample", t.setBitsPerSample);
        get("FLAC__stream_encoder_set_sample_rate", t.setSampleRate);
        get("FLAC__stream_encoder_set_compression_level", t.setCompressionLevel);
        get("FLAC__stream_encoder_set_total_samples_estimate", t.setTotalSamplesEstimate);
        get("FLAC__stream_encoder_set_metadata", t.setMetadata);
        get("FLAC__stream_encoder_get_blocksize", t.getBlocksize);
        get("FLAC__stream_encoder_get_state", t.getState);
        get("FLAC__stream_encoder_init_stream", t.initStream);
        get("FLAC__stream_encoder_process", t.process);
        get("FLAC__stream_encoder_process_interleaved", t.processInterleaved);
        get("FLAC__stream_encoder_finish", t.finish);
        get("FLAC__metadata_object_new", t.objectNew);
        get("FLAC__metadata_object_delete", t.objectDelete);
        get("FLAC__metadata_object_vorbiscomment_entry_from_name_value_pair", t.commentEntry);
        get("FLAC__metadata_object_vorbiscomment_append_comment", t.appendComment);
        get("FLAC__metadata_object_picture_set_mime_type", t.pictureSetMimeType);
        get("FLAC__metadata_object_picture_set_data", t.pictureSetData);
        r.missing = get.missing();
        return r;
    }();
    return r;
}

const kyResolvedTable<kyFlacDecoderLibrary>& decoder() {
    static const kyResolvedTable<kyFlacDecoderLibrary> r = [] {
        kyResolvedTable<kyFlacDecoderLibrary> r;
        kyFlacDecoderLibrary& t = r.table;
        kyEntryPoints get(KY_FLAC_LIBRARY);
        get("FLAC__stream_decoder_new", t.decoderNew);
        get("FLAC__stream_decoder_delete", t.decoderDelete);
        get("FLAC__stream_decoder_set_md5_checking", t.setMd5Checking);
        get("FLAC__stream_decoder_init_stream", t.initStream);
        get("FLAC__stream_decoder_process_single", t.processSingle);
        get("FLAC__stream_decoder_process_until_end_of_metadata", t.processMetadata);
        get("FLAC__stream_decoder_seek_absolute", t.seekAbsolute);
        get("FLAC__stream_decoder_flush", t.flush);
        get("FLAC__stream_decoder_get_state", t.getState);
        get("FLAC__stream_decoder_finish", t.finish);
        r.missing = get.missing();
        return r;
    }();
    return r;
}
} // namespace

const kyFlacEncoderLibrary* kyFlacEncoderLibrary::Get() {
    return encoder().get();
}
const std::string& kyFlacEncoderLibrary::Missing() {
    return encoder().missing;
}
const kyFlacDecoderLibrary* kyFlacDecoderLibrary::Get() {
    return decoder().get();
}
const std::string& kyFlacDecoderLibrary::Missing() {
    return decoder().missing;
}
