#include "platform/vorbis_library.h"
#include "platform/library_loader.h"

namespace {
const kyResolvedTable<kyVorbisEncoderLibrary>& encoder() {
    static const kyResolvedTable<kyVorbisEncoderLibrary> r = [] {
        kyResolvedTable<kyVorbisEncoderLibrary> r;
        kyVorbisEncoderLibrary& t = r.table;
        kyEntryPoints vorbis(KY_VORBIS_LIBRARY);
        vorbis("vorbis_info_init", t.infoInit);
        vorbis("vorbis_info_clear", t.infoClear);
        vorbis("vorbis_comment_init", t.commentInit);
        vorbis("vorbis_comment_add_tag", t.commentAddTag);
        vorbis("vorbis_comment_clear", t.commentClear);
        vorbis("vorbis_analysis_init", t.analysisInit);
        vorbis("vorbis_block_init", t.blockInit);
        vorbis("vorbis_block_clear", t.blockClear);
        vorbis("vorbis_dsp_clear", t.dspClear);
        vorbis("vorbis_analysis_headerout", t.analysisHeaderout);
        vorbis("vorbis_analysis_buffer", t.analysisBuffer);
        vorbis("vorbis_analysis_wrote", t.analysisWrote);
        vorbis("vorbis_analysis_blockout", t.analysisBlockout);
        vorbis("vorbis_analysis", t.analysis);
        vorbis("vorbis_bitrate_addblock", t.bitrateAddblock);
        vorbis("vorbis_bitrate_flushpacket", t.bitrateFlushpacket);
        kyEntryPoints enc(KY_VORBISENC_LIBRARY);
        enc("vorbis_encode_init", t.encodeInit);
        kyEntryPoints ogg(KY_OGG_LIBRARY);
        ogg("ogg_stream_init", t.streamInit);
        ogg("ogg_stream_clear", t.streamClear);
        ogg("ogg_stream_packetin", t.streamPacketin);
        ogg("ogg_stream_flush", t.streamFlush);
        ogg("ogg_stream_pageout", t.streamPageout);
        ogg("ogg_page_eos", t.pageEos);
        for (const kyEntryPoints* set : {&vorbis, &enc, &ogg})
            if (r.missing.empty()) r.missing = set->missing();
        return r;
    }();
    return r;
}

const kyResolvedTable<kyVorbisDecoderLibrary>& decoder() {
    static const kyResolvedTable<kyVorbisDecoderLibrary> r = [] {
        kyResolvedTable<kyVorbisDecoderLibrary> r;
        kyVorbisDecoderLibrary& t = r.table;
        kyEntryPoints get(KY_VORBISFILE_LIBRARY);
        get("ov_open_callbacks", t.openCallbacks);
        get("ov_clear", t.clear);
        get("ov_info", t.info);
        get("ov_comment", t.comment);
        get("ov_pcm_total", t.pcmTotal);
        get("ov_read_float", t.readFloat);
        get("ov_pcm_seek", t.pcmSeek);
        r.missing = get.missing();
        return r;
    }();
    return r;
}
} // namespace

const kyVorbisEncoderLibrary* kyVorbisEncoderLibrary::Get() {
    return encoder().get();
}
const std::string& kyVorbisEncoderLibrary::Missing() {
    return encoder().missing;
}
const kyVorbisDecoderLibrary* kyVorbisDecoderLibrary::Get() {
    return decoder().get();
}
const std::string& kyVorbisDecoderLibrary::Missing() {
    return decoder().missing;
}
