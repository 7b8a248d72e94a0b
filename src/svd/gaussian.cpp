// Seeded standard normal deviates: PCG32 key expansion, ChaCha12 keystream, 256-layer ziggurat.
#include "svd/gaussian.hpp"

#include <bit>
#include <cmath>
#include <cstring>

namespace korvex {

namespace gaussian_detail {

// Layer edges of the 256-layer normal ziggurat with R = 3.6541528853610088 and
// V = 0.00492867323399: X[0] = V / f(R), X[1] = R, X[i] = f^-1(V / X[i-1] + f(X[i-1])),
// X[256] = 0, where f(x) = exp(-x^2 / 2) and f^-1(y) = sqrt(-2 ln y). Hex literals keep every
// entry exact independently of the C library's exp and log.
const double kZigX[257] = {
    0x1.f493b78164498p+1, 0x1.d3bb48209ad33p+1, 0x1.b981f3878f995p+1,  // 0
    0x1.a8fdc7894718cp+1, 0x1.9cbee014050dfp+1, 0x1.92ee0946f3d1ap+1,  // 3
    0x1.8ab0fbfaa7412p+1, 0x1.839030529e9c6p+1, 0x1.7d42df4d6c5c3p+1,  // 6
    0x1.779955608fd5bp+1, 0x1.72728f05f70d7p+1, 0x1.6db6b8d09d896p+1,  // 9
    0x1.69540be9fdbedp+1, 0x1.653ce7b0060dfp+1, 0x1.61669cf86140fp+1,  // 12
    0x1.5dc8a243ac693p+1, 0x1.5a5c08b718342p+1, 0x1.571b1a94ad95ap+1,  // 15
    0x1.54011523a7359p+1, 0x1.5109f53e9a131p+1, 0x1.4e3250dcd7dccp+1,  // 18
    0x1.4b7739d6b4eccp+1, 0x1.48d62759c383dp+1, 0x1.464ce44a72e74p+1,  // 21
    0x1.43d98155452d1p+1, 0x1.417a49cb9d9f6p+1, 0x1.3f2dbaa60e871p+1,  // 24
    0x1.3cf27b316f883p+1, 0x1.3ac7570ae7cb8p+1, 0x1.38ab3925634a9p+1,  // 27
    0x1.369d27a339bc1p+1, 0x1.349c405ae0606p+1, 0x1.32a7b5e6897e9p+1,  // 30
    0x1.30becd256a217p+1, 0x1.2ee0db1a96c02p+1, 0x1.2d0d43196ce88p+1,  // 33
    0x1.2b4375329fd27p+1, 0x1.2982ecd770131p+1, 0x1.27cb2faa84bcbp+1,  // 36
    0x1.261bcc7764b62p+1, 0x1.24745a4ac8e8bp+1, 0x1.22d477a6fc63bp+1,  // 39
    0x1.213bc9d04beb3p+1, 0x1.1fa9fc2e2cb18p+1, 0x1.1e1ebfbe4a036p+1,  // 42
    0x1.1c99ca9719877p+1, 0x1.1b1ad777f2157p+1, 0x1.19a1a564edd5ap+1,  // 45
    0x1.182df74d203f5p+1, 0x1.16bf93b9de06ep+1, 0x1.1556448601f9dp+1,  // 48
    0x1.13f1d69c3fab5p+1, 0x1.129219bbb4e64p+1, 0x1.1136e04206156p+1,  // 51
    0x1.0fdffefa690b2p+1, 0x1.0e8d4cf115675p+1, 0x1.0d3ea34aa2df9p+1,  // 54
    0x1.0bf3dd1eec4f7p+1, 0x1.0aacd7571b15ap+1, 0x1.0969708e892dp+1,  // 57
    0x1.082988f631e79p+1, 0x1.06ed023a716bp+1, 0x1.05b3bf6ada3acp+1,  // 60
    0x1.047da4e3ee5dbp+1, 0x1.034a983a8f2a6p+1, 0x1.021a8028fb929p+1,  // 63
    0x1.00ed447d3903dp+1, 0x1.ff859c118d567p+0, 0x1.fd360d22fc6aep+0,  // 66
    0x1.faebb187101b4p+0, 0x1.f8a6604897644p+0, 0x1.f665f20c8dff6p+0,  // 69
    0x1.f42a40fb72bc7p+0, 0x1.f1f328ac23146p+0, 0x1.efc086101ca9bp+0,  // 72
    0x1.ed923761084f7p+0, 0x1.eb681c0f74c9p+0, 0x1.e94214b2a9c5cp+0,  // 75
    0x1.e72002f97db41p+0, 0x1.e501c99c1ae6fp+0, 0x1.e2e74c4ea23a7p+0,  // 78
    0x1.e0d06fb49ae98p+0, 0x1.debd195520a7ep+0, 0x1.dcad2f8fc252p+0,  // 81
    0x1.daa0999204a4dp+0, 0x1.d8973f4d7d74dp+0, 0x1.d691096e7cc94p+0,  // 84
    0x1.d48de1533a181p+0, 0x1.d28db1037ca23p+0, 0x1.d0906328b6a39p+0,  // 87
    0x1.ce95e3068bacap+0, 0x1.cc9e1c73bb0eap+0, 0x1.caa8fbd367ccdp+0,  // 90
    0x1.c8b66e0eb8p+0, 0x1.c6c6608ec60b5p+0, 0x1.c4d8c136de693p+0,  // 93
    0x1.c2ed7e5f05369p+0, 0x1.c10486cebefa2p+0, 0x1.bf1dc9b81874ap+0,  // 96
    0x1.bd3936b2e992ep+0, 0x1.bb56bdb84fdbep+0, 0x1.b9764f1e5cf51p+0,  // 99
    0x1.b797db93f6101p+0, 0x1.b5bb541ce14a1p+0, 0x1.b3e0aa0dfe361p+0,  // 102
    0x1.b207cf09a6f7ep+0, 0x1.b030b4fc378p+0, 0x1.ae5b4e18b89dep+0,  // 105
    0x1.ac878cd5acc36p+0, 0x1.aab563e9fc731p+0, 0x1.a8e4c64a00726p+0,  // 108
    0x1.a715a724a7f4dp+0, 0x1.a547f9e0b90efp+0, 0x1.a37bb21a29d81p+0,  // 111
    0x1.a1b0c39f90b75p+0, 0x1.9fe7226faa6eap+0, 0x1.9e1ec2b6f486dp+0,  // 114
    0x1.9c5798cd5ad43p+0, 0x1.9a919933f6d92p+0, 0x1.98ccb892dfdbfp+0,  // 117
    0x1.9708ebb70a936p+0, 0x1.954627903758cp+0, 0x1.9384612eeddb8p+0,  // 120
    0x1.91c38dc2855bcp+0, 0x1.9003a297387bcp+0, 0x1.8e44951443c0ap+0,  // 123
    0x1.8c865aba0de35p+0, 0x1.8ac8e92059192p+0, 0x1.890c35f47c831p+0,  // 126
    0x1.875036f7a4f7ep+0, 0x1.8594e1fd1c628p+0, 0x1.83da2ce896f32p+0,  // 129
    0x1.82200dac85645p+0, 0x1.80667a486b99ep+0, 0x1.7ead68c73ae15p+0,  // 132
    0x1.7cf4cf3daf1d9p+0, 0x1.7b3ca3c8ae294p+0, 0x1.7984dc8ba8bcbp+0,  // 135
    0x1.77cd6faefc22dp+0, 0x1.7616535e540adp+0, 0x1.745f7dc70bc13p+0,  // 138
    0x1.72a8e5168e1a6p+0, 0x1.70f27f78b3573p+0, 0x1.6f3c43161c483p+0,  // 141
    0x1.6d86261289f28p+0, 0x1.6bd01e8b30f36p+0, 0x1.6a1a229507dcfp+0,  // 144
    0x1.6864283b0fbf7p+0, 0x1.66ae257c960d3p+0, 0x1.64f8104b6f00cp+0,  // 147
    0x1.6341de8a27a41p+0, 0x1.618b860a2e8ffp+0, 0x1.5fd4fc89f270fp+0,  // 150
    0x1.5e1e37b2f5545p+0, 0x1.5c672d17d3b48p+0, 0x1.5aafd2323e2fbp+0,  // 153
    0x1.58f81c60e4c4cp+0, 0x1.574000e552644p+0, 0x1.558774e1b7925p+0,  // 156
    0x1.53ce6d56a2c3dp+0, 0x1.5214df20a50d8p+0, 0x1.505abef5e1a6dp+0,  // 159
    0x1.4ea0016386a9cp+0, 0x1.4ce49acb2d5fdp+0, 0x1.4b287f6020506p+0,  // 162
    0x1.496ba3248525ep+0, 0x1.47adf9e6685eap+0, 0x1.45ef773ca8993p+0,  // 165
    0x1.44300e83bf25ap+0, 0x1.426fb2da63591p+0, 0x1.40ae571e05f24p+0,  // 168
    0x1.3eebede721aacp+0, 0x1.3d2869855dd8p+0, 0x1.3b63bbfb7fc17p+0,  // 171
    0x1.399dd6fb270e9p+0, 0x1.37d6abe05165dp+0, 0x1.360e2baca1034p+0,  // 174
    0x1.3444470261b6ap+0, 0x1.3278ee1f4755fp+0, 0x1.30ac10d6e0469p+0,  // 177
    0x1.2edd9e8cb647fp+0, 0x1.2d0d862e172a1p+0, 0x1.2b3bb62b7e88p+0,  // 180
    0x1.29681c7199017p+0, 0x1.2792a661d8bcdp+0, 0x1.25bb40ca92399p+0,  // 183
    0x1.23e1d7de97a07p+0, 0x1.2206572c47d17p+0, 0x1.2028a9940561p+0,  // 186
    0x1.1e48b93e088dcp+0, 0x1.1c666f8f7deb3p+0, 0x1.1a81b51ee20a3p+0,  // 189
    0x1.189a71a788c7ep+0, 0x1.16b08bfc3d191p+0, 0x1.14c3e9f8e41d8p+0,  // 192
    0x1.12d470730bf74p+0, 0x1.10e203294c4bdp+0, 0x1.0eec84b15b64dp+0,  // 195
    0x1.0cf3d664b796dp+0, 0x1.0af7d84bc0d06p+0, 0x1.08f8690719efdp+0,  // 198
    0x1.06f565b7249f9p+0, 0x1.04eea9e164ed4p+0, 0x1.02e40f5393759p+0,  // 201
    0x1.00d56e041db89p+0, 0x1.fd8537df97991p-1, 0x1.f956d9e87202bp-1,  // 204
    0x1.f51f654d83c88p-1, 0x1.f0de784efa595p-1, 0x1.ec93abdf8c395p-1,  // 207
    0x1.e83e93379ad08p-1, 0x1.e3debb5d2292dp-1, 0x1.df73aa9f0ae8dp-1,  // 210
    0x1.dafce0022edeep-1, 0x1.d679d29e3510dp-1, 0x1.d1e9f0e7fe5f7p-1,  // 213
    0x1.cd4c9fe7151cap-1, 0x1.c8a13a531630bp-1, 0x1.c3e70f95872ep-1,  // 216
    0x1.bf1d62abea23bp-1, 0x1.ba4368e51bb3p-1, 0x1.b5584874191dap-1,  // 219
    0x1.b05b16d127fd5p-1, 0x1.ab4ad6e0f24bap-1, 0x1.a62676d76d6f5p-1,  // 222
    0x1.a0eccdca3ab98p-1, 0x1.9b9c98e37c43bp-1, 0x1.96347822b1818p-1,  // 225
    0x1.90b2ea94dc2a8p-1, 0x1.8b1649e7a632cp-1, 0x1.855cc5341f023p-1,  // 228
    0x1.7f845ad45d397p-1, 0x1.798ad10b200fp-1, 0x1.736dad345c6b6p-1,  // 231
    0x1.6d2a291feca73p-1, 0x1.66bd261a2377ep-1, 0x1.60231cfd82f9bp-1,  // 234
    0x1.59580a70673c9p-1, 0x1.5257562196c1cp-1, 0x1.4b1bb363c898dp-1,  // 237
    0x1.439ef8dfe170ap-1, 0x1.3bd9ec1a11c06p-1, 0x1.33c3fc055e9edp-1,  // 240
    0x1.2b52e38621b3p-1, 0x1.227a28f78456ap-1, 0x1.192a6973f450ap-1,  // 243
    0x1.0f5053b004b4ep-1, 0x1.04d32278c832ep-1, 0x1.f32482d4807a6p-2,  // 246
    0x1.dac2f5a6f312p-2, 0x1.c004d2f328d93p-2, 0x1.a230c2e46389ep-2,  // 249
    0x1.801fce827fac5p-2, 0x1.57cb9383ae55p-2, 0x1.250af3c200a69p-2,  // 252
    0x1.b8d0be3d69918p-3, 0x0p+0,  // 255
};

// F[i] = f(X[i]). Two entries are the values of the published table rather than the correctly
// rounded exp: F[3] = 0.004037972593371872 and F[94] = 0.2064054063986793 (each one unit in the
// last place away from it). F[0] is never read.
const double kZigF[257] = {
    0x0p+0, 0x1.4a605b6b9f70fp-10, 0x1.55f9f43c1d644p-9,  // 0
    0x1.08a1f03b0d9d7p-8, 0x1.69ea8d90cf658p-8, 0x1.ce160f8ecbd47p-8,  // 3
    0x1.1a5922995660bp-7, 0x1.4eb96421b129fp-7, 0x1.841040d8df3cap-7,  // 6
    0x1.ba48d274febdcp-7, 0x1.f152a4f734696p-7, 0x1.1490334606b67p-6,  // 9
    0x1.30d388daba032p-6, 0x1.4d6eaf2fbf966p-6, 0x1.6a5daf40c0f87p-6,  // 12
    0x1.879d1b6011823p-6, 0x1.a529f4e234a42p-6, 0x1.c301983cd6ea9p-6,  // 15
    0x1.e121adb82f964p-6, 0x1.ff881d7191a2cp-6, 0x1.0f1982e96be0fp-5,  // 18
    0x1.1e9059f1fac92p-5, 0x1.2e27ce83e3a4fp-5, 0x1.3ddf2ce993869p-5,  // 21
    0x1.4db5d0e1174f2p-5, 0x1.5dab23cf2ff69p-5, 0x1.6dbe9b39926p-5,  // 24
    0x1.7defb77af80c9p-5, 0x1.8e3e02a691375p-5, 0x1.9ea90f929b758p-5,  // 27
    0x1.af3079038c597p-5, 0x1.bfd3e0f289491p-5, 0x1.d092efeae600ap-5,  // 30
    0x1.e16d547b2c47cp-5, 0x1.f262c2b6ce583p-5, 0x1.01b979e31226fp-4,  // 33
    0x1.0a4ed2c15d631p-4, 0x1.12f14d0f259e6p-4, 0x1.1ba0cbe97ce08p-4,  // 36
    0x1.245d344dd546p-4, 0x1.2d266cf9b7a28p-4, 0x1.35fc5e4d989dp-4,  // 39
    0x1.3edef2326e83cp-4, 0x1.47ce1401b7223p-4, 0x1.50c9b06fa7e17p-4,  // 42
    0x1.59d1b5774bb6bp-4, 0x1.62e612485a445p-4, 0x1.6c06b7369a3e7p-4,  // 45
    0x1.753395aaa6d7fp-4, 0x1.7e6ca013f4e4dp-4, 0x1.87b1c9dbf893ep-4,  // 48
    0x1.9103075a50413p-4, 0x1.9a604dc9dc0fep-4, 0x1.a3c9933eacaf5p-4,  // 51
    0x1.ad3ece9cb6128p-4, 0x1.b6bff78f34fb7p-4, 0x1.c04d0680b802cp-4,  // 54
    0x1.c9e5f493be6bdp-4, 0x1.d38abb9be0731p-4, 0x1.dd3b561776082p-4,  // 57
    0x1.e6f7bf29b1feap-4, 0x1.f0bff29528b67p-4, 0x1.fa93ecb6ba232p-4,  // 60
    0x1.0239d5406be88p-3, 0x1.072f94bb9023dp-3, 0x1.0c2b33d524dd1p-3,  // 63
    0x1.112cb1da2b434p-3, 0x1.16340e5a87443p-3, 0x1.1b4149275c58ap-3,  // 66
    0x1.20546251885e5p-3, 0x1.256d5a283a9d2p-3, 0x1.2a8c3137a53a6p-3,  // 69
    0x1.2fb0e847c7863p-3, 0x1.34db805b4fafap-3, 0x1.3a0bfaae928d4p-3,  // 72
    0x1.3f4258b69841p-3, 0x1.447e9c203c9b4p-3, 0x1.49c0c6cf6238ep-3,  // 75
    0x1.4f08dade376a4p-3, 0x1.5456da9c8c09dp-3, 0x1.59aac88f3775cp-3,  // 78
    0x1.5f04a76f8df6fp-3, 0x1.64647a2ae4e9cp-3, 0x1.69ca43e2250e8p-3,  // 81
    0x1.6f3607e96a72fp-3, 0x1.74a7c9c7b1751p-3, 0x1.7a1f8d3690665p-3,  // 84
    0x1.7f9d5621fd65p-3, 0x1.852128a8200bp-3, 0x1.8aab09192e973p-3,  // 87
    0x1.903afbf756425p-3, 0x1.95d105f6ae788p-3, 0x1.9b6d2bfd36b63p-3,  // 90
    0x1.a10f7322decf1p-3, 0x1.a6b7e0b1996dfp-3, 0x1.ac667a2578a1bp-3,  // 93
    0x1.b21b452cd4505p-3, 0x1.b7d647a87a72bp-3, 0x1.bd9787abe8fdep-3,  // 96
    0x1.c35f0b7d91641p-3, 0x1.c92cd99725a1p-3, 0x1.cf00f8a5eec4bp-3,  // 99
    0x1.d4db6f8b2cf92p-3, 0x1.dabc455c81015p-3, 0x1.e0a381645f35fp-3,  // 102
    0x1.e6912b228c089p-3, 0x1.ec854a4ca21c2p-3, 0x1.f27fe6cea202ap-3,  // 105
    0x1.f88108cb8bb6bp-3, 0x1.fe88b89e01ed8p-3, 0x1.024b7f6c7baf9p-2,  // 108
    0x1.0555f22433149p-2, 0x1.0863b8f908b9bp-2, 0x1.0b74d88b28c36p-2,  // 111
    0x1.0e8955987541ap-2, 0x1.11a134fcf6f75p-2, 0x1.14bc7bb353ab8p-2,  // 114
    0x1.17db2ed54a239p-2, 0x1.1afd539c33ea1p-2, 0x1.1e22ef618d06bp-2,  // 117
    0x1.214c079f81cf7p-2, 0x1.2478a1f182fe8p-2, 0x1.27a8c414e0385p-2,  // 120
    0x1.2adc73e96934ep-2, 0x1.2e13b77215be5p-2, 0x1.314e94d5b4bbep-2,  // 123
    0x1.348d125fa283fp-2, 0x1.37cf368086b2cp-2, 0x1.3b1507cf19c77p-2,  // 126
    0x1.3e5e8d08f2cbbp-2, 0x1.41abcd135d515p-2, 0x1.44fccefc38117p-2,  // 129
    0x1.485199fadc80dp-2, 0x1.4baa35710fafep-2, 0x1.4f06a8ebfcd13p-2,  // 132
    0x1.5266fc2539c94p-2, 0x1.55cb3703d62d1p-2, 0x1.5933619d751bcp-2,  // 135
    0x1.5c9f843772671p-2, 0x1.600fa74813828p-2, 0x1.6383d377c4babp-2,  // 138
    0x1.66fc11a2633afp-2, 0x1.6a786ad894727p-2, 0x1.6df8e8612b6ecp-2,  // 141
    0x1.717d93ba9cccdp-2, 0x1.7506769c81eafp-2, 0x1.78939af92c0f3p-2,  // 144
    0x1.7c250aff484p-2, 0x1.7fbad11b949adp-2, 0x1.8354f7faa7fc5p-2,  // 147
    0x1.86f38a8accdf4p-2, 0x1.8a9693fdf061cp-2, 0x1.8e3e1fcba6703p-2,  // 150
    0x1.91ea39b34426p-2, 0x1.959aedbe1183bp-2, 0x1.9950484193ad3p-2,  // 153
    0x1.9d0a55e1f0f53p-2, 0x1.a0c923947011ep-2, 0x1.a48cbea213e9ep-2,  // 156
    0x1.a85534aa55844p-2, 0x1.ac2293a5fdbd7p-2, 0x1.aff4e9ea20806p-2,  // 159
    0x1.b3cc462b3b5fcp-2, 0x1.b7a8b780798dp-2, 0x1.bb8a4d671f4cdp-2,  // 162
    0x1.bf7117c61f2dep-2, 0x1.c35d26f1db70fp-2, 0x1.c74e8bb0163b2p-2,  // 165
    0x1.cb45573c135cbp-2, 0x1.cf419b4aeea8ep-2, 0x1.d3436a102a142p-2,  // 168
    0x1.d74ad6427709cp-2, 0x1.db57f320beac8p-2, 0x1.df6ad4776cfd2p-2,  // 171
    0x1.e3838ea603307p-2, 0x1.e7a236a4f5d07p-2, 0x1.ebc6e20bdba59p-2,  // 174
    0x1.eff1a717f2c62p-2, 0x1.f4229cb30199p-2, 0x1.f859da7a9a13dp-2,  // 177
    0x1.fc9778c7c5ff1p-2, 0x1.006dc85b91cdep-1, 0x1.02931e18bd539p-1,  // 180
    0x1.04bbcafa69335p-1, 0x1.06e7dccf09138p-1, 0x1.091761d99b381p-1,  // 183
    0x1.0b4a68d7130b1p-1, 0x1.0d81010419aaap-1, 0x1.0fbb3a232b228p-1,  // 186
    0x1.11f924831795cp-1, 0x1.143ad105f04d3p-1, 0x1.168051286962ap-1,  // 189
    0x1.18c9b709b99bdp-1, 0x1.1b17157402fa1p-1, 0x1.1d687fe54f92p-1,  // 192
    0x1.1fbe0a992f702p-1, 0x1.2217ca9305a04p-1, 0x1.2475d5a913eccp-1,  // 195
    0x1.26d8429056971p-1, 0x1.293f28e9432dbp-1, 0x1.2baaa14d7fc57p-1,  // 198
    0x1.2e1ac55eaa449p-1, 0x1.308fafd64a29fp-1, 0x1.33097c970a541p-1,  // 201
    0x1.358848bf5bd57p-1, 0x1.380c32bda6eadp-1, 0x1.3a955a6633c57p-1,  // 204
    0x1.3d23e10afa266p-1, 0x1.3fb7e9958cdc7p-1, 0x1.425198a35d3b3p-1,  // 207
    0x1.44f114a49abddp-1, 0x1.479685fdfc714p-1, 0x1.4a42172dccb23p-1,  // 210
    0x1.4cf3f4f49c91ep-1, 0x1.4fac4e8213283p-1, 0x1.526b55a65eabbp-1,  // 213
    0x1.55313f08e1e03p-1, 0x1.57fe4264d0f3p-1, 0x1.5ad29acc8e01cp-1,  // 216
    0x1.5dae86f4b84fep-1, 0x1.609249880ae0ap-1, 0x1.637e2985595dfp-1,  // 219
    0x1.667272a936f1ep-1, 0x1.696f75e51c96bp-1, 0x1.6c7589e63eb25p-1,  // 222
    0x1.6f850baeb0dfbp-1, 0x1.729e5f44002a7p-1, 0x1.75c1f0771708dp-1,  // 225
    0x1.78f033ca14bc9p-1, 0x1.7c29a779d0627p-1, 0x1.7f6ed4b218395p-1,  // 228
    0x1.82c050f577355p-1, 0x1.861ebfc3863d6p-1, 0x1.898ad48bb899ap-1,  // 231
    0x1.8d0554fe6b8dcp-1, 0x1.908f1bd322352p-1, 0x1.94291c21c3052p-1,  // 234
    0x1.97d4657623514p-1, 0x1.9b9228d24c563p-1, 0x1.9f63bee65e399p-1,  // 237
    0x1.a34aafdf6780cp-1, 0x1.a748bd5519883p-1, 0x1.ab5fef17af9c6p-1,  // 240
    0x1.af92a3f6dc413p-1, 0x1.b3e3a8235bfdap-1, 0x1.b85653a90e04p-1,  // 243
    0x1.bceeb4ee2d08dp-1, 0x1.c1b1cd9efb947p-1, 0x1.c6a5eceaa82b8p-1,  // 246
    0x1.cbd33a8a84602p-1, 0x1.d144978a24289p-1, 0x1.d70920658fa12p-1,  // 249
    0x1.dd36fa70635f9p-1, 0x1.e3f11e0296bb2p-1, 0x1.eb7545b6e5a2dp-1,  // 252
    0x1.f446ac97c0265p-1, 0x1p+0,  // 255
};

}  // namespace gaussian_detail

namespace {

constexpr std::uint32_t rotl32(std::uint32_t v, int r) { return (v << r) | (v >> (32 - r)); }

inline void quarter_round(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d) {
  a += b; d ^= a; d = rotl32(d, 16);
  c += d; b ^= c; b = rotl32(b, 12);
  a += b; d ^= a; d = rotl32(d, 8);
  c += d; b ^= c; b = rotl32(b, 7);
}

// One ChaCha block with 12 rounds: constants "expand 32-byte k", the key, the 64-bit block counter
// (low word first) and a zero 64-bit nonce.
void chacha12_block(const std::array<std::uint32_t, 8>& key, std::uint64_t counter,
                    std::uint32_t* out) {
  std::uint32_t input[16] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u,
                             key[0],      key[1],      key[2],      key[3],
                             key[4],      key[5],      key[6],      key[7],
                             static_cast<std::uint32_t>(counter),
                             static_cast<std::uint32_t>(counter >> 32),
                             0u,          0u};
  std::uint32_t x[16];
  std::memcpy(x, input, sizeof(x));
  for (int round = 0; round < 6; ++round) {
    quarter_round(x[0], x[4], x[8], x[12]);
    quarter_round(x[1], x[5], x[9], x[13]);
    quarter_round(x[2], x[6], x[10], x[14]);
    quarter_round(x[3], x[7], x[11], x[15]);
    quarter_round(x[0], x[5], x[10], x[15]);
    quarter_round(x[1], x[6], x[11], x[12]);
    quarter_round(x[2], x[7], x[8], x[13]);
    quarter_round(x[3], x[4], x[9], x[14]);
  }
  for (int i = 0; i < 16; ++i) out[i] = x[i] + input[i];
}

}  // namespace

GaussianRng GaussianRng::from_seed(std::uint64_t seed) {
  constexpr std::uint64_t kMul = 6364136223846793005ull;   // 0x5851F42D4C957F2D
  constexpr std::uint64_t kInc = 11634580027462260723ull;  // 0xA17654E46FBE17F3
  GaussianRng rng;
  std::uint64_t s = seed;
  for (auto& word : rng.key_) {
    s = s * kMul + kInc;
    const auto x = static_cast<std::uint32_t>(((s >> 18) ^ s) >> 27);
    const auto r = static_cast<int>(s >> 59);
    // The word goes into the key as 4 little-endian bytes, which ChaCha reads back as the same
    // little-endian word: no byte shuffling is needed.
    word = std::rotr(x, r);
  }
  return rng;
}

void GaussianRng::refill() {
  for (std::size_t b = 0; b < 4; ++b) chacha12_block(key_, counter_ + b, buf_.data() + 16 * b);
  counter_ += 4;
  pos_ = 0;
}

std::uint64_t GaussianRng::next_u64() {
  // Words are always consumed in pairs from an even position, so a pair never straddles a refill.
  if (pos_ >= buf_.size()) refill();
  const std::uint64_t lo = buf_[pos_];
  const std::uint64_t hi = buf_[pos_ + 1];
  pos_ += 2;
  return lo | (hi << 32);
}

double GaussianRng::open01() {
  const std::uint64_t bits = (next_u64() >> 12) | 0x3FF0000000000000ull;  // [1, 2)
  return std::bit_cast<double>(bits) - (1.0 - 0x1p-53);
}

double GaussianRng::next_standard_normal() {
  using gaussian_detail::kZigF;
  using gaussian_detail::kZigR;
  using gaussian_detail::kZigX;
  for (;;) {
    const std::uint64_t b = next_u64();
    const std::size_t i = b & 0xFF;
    // 52 random mantissa bits with the exponent of 2.0 give [2, 4); minus 3 gives [-1, 1).
    const double u = std::bit_cast<double>((b >> 12) | 0x4000000000000000ull) - 3.0;
    const double x = u * kZigX[i];
    if (std::fabs(x) < kZigX[i + 1]) return x;
    if (i == 0) {
      // Tail beyond R (Marsaglia): the first draw feeds t, the second y.
      double t = 0.0;
      double y = 0.0;
      do {
        const double a = open01();
        const double c = open01();
        t = std::log(a) / kZigR;
        y = std::log(c);
      } while (-2.0 * y < t * t);
      return u < 0.0 ? t - kZigR : kZigR - t;
    }
    const double v = static_cast<double>(next_u64() >> 11) * 0x1p-53;  // [0, 1)
    if (kZigF[i + 1] + (kZigF[i] - kZigF[i + 1]) * v < std::exp(-x * x / 2.0)) return x;
  }
}

std::vector<double> gaussian_test_matrix(GaussianRng& rng, std::size_t rows, std::size_t cols,
                                         MatrixOrder order) {
  std::vector<double> out(rows * cols);
  if (order == MatrixOrder::RowMajor) {
    for (double& v : out) v = rng.next_standard_normal();
  } else {
    for (std::size_t i = 0; i < rows; ++i)
      for (std::size_t j = 0; j < cols; ++j) out[j * rows + i] = rng.next_standard_normal();
  }
  return out;
}

}  // namespace korvex
