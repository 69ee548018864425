/* Encodes a generated tone through the VarnelAac library and writes it as an ADTS stream
 * (7-byte headers, no CRC), which players and ffmpeg read as .aac.
 *
 *   tone_adts OUT.aac [SAMPLE_RATE [CHANNELS [BIT_RATE [SECONDS]]]]
 *
 * Channel c carries a sine of 1000 * (c + 1) Hz at half of full scale. */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <varnel/aac_encoder.h>

#define PI 3.14159265358979323846

/* ADTS header: syncword, MPEG-4, no CRC, profile (object type - 1), rate index, channels,
 * frame length (header included), buffer fullness 0x7FF (variable rate), one raw data block. */
static void write_adts(FILE *f, const unsigned char *config, const unsigned char *au, int size) {
    int object_type = config[0] >> 3, rate_index = ((config[0] & 7) << 1) | (config[1] >> 7);
    int channels = (config[1] >> 3) & 15, length = size + 7;
    unsigned char h[7];
    h[0] = 0xFF;
    h[1] = 0xF1;
    h[2] = (unsigned char)(((object_type - 1) << 6) | (rate_index << 2) | (channels >> 2));
    h[3] = (unsigned char)(((channels & 3) << 6) | (length >> 11));
    h[4] = (unsigned char)((length >> 3) & 0xFF);
    h[5] = (unsigned char)(((length & 7) << 5) | 0x1F);
    h[6] = 0xFC;
    fwrite(h, 1, sizeof h, f);
    fwrite(au, 1, (size_t)size, f);
}

int main(int argc, char **argv) {
    long rate = argc > 2 ? atol(argv[2]) : 44100, total, n = 0;
    int channels = argc > 3 ? atoi(argv[3]) : 2, err, size, i, c;
    long bit_rate = argc > 4 ? atol(argv[4]) : 128000;
    double seconds = argc > 5 ? atof(argv[5]) : 3.0;
    float pcm[2 * VARNEL_AAC_FRAME_LENGTH];
    unsigned char au[VARNEL_AAC_MAX_ACCESS_UNIT_BYTES], config[VARNEL_AAC_MAX_CONFIG_BYTES];
    VarnelAacEncoder *enc;
    FILE *out;

    if (argc < 2) return fprintf(stderr, "usage: %s OUT.aac [RATE [CHANNELS [BIT_RATE [SECONDS]]]]\n", argv[0]), 2;
    enc = varnel_aac_encoder_open((int32_t)rate, channels, (int32_t)bit_rate, &err);
    if (!enc) return fprintf(stderr, "open: %s\n", varnel_aac_strerror(err)), 1;
    if (!(out = fopen(argv[1], "wb"))) return perror(argv[1]), 1;
    varnel_aac_encoder_get_config(enc, config, sizeof config);
    total = (long)(seconds * rate);
    for (size = 0; n < total && size >= 0; n += i) {
        for (i = 0; i < VARNEL_AAC_FRAME_LENGTH && n + i < total; ++i)
            for (c = 0; c < channels; ++c)
                pcm[i * channels + c] = (float)(0.5 * sin(2 * PI * 1000.0 * (c + 1) * (double)(n + i) / rate));
        if ((size = varnel_aac_encode_float(enc, pcm, i, au, sizeof au)) > 0) write_adts(out, config, au, size);
    }
    while (size >= 0 && (size = varnel_aac_encoder_flush(enc, au, sizeof au)) > 0) write_adts(out, config, au, size);
    if (size < 0) fprintf(stderr, "encode: %s\n", varnel_aac_strerror(size));
    varnel_aac_encoder_destroy(enc);
    fclose(out);
    return size < 0;
}
