// The language table: two- and three-letter codes whose row index is the language number used
// in accessors and delivery. The codes are used exactly as listed, including the places where
// they differ from ISO 639-2; the English names are not kept since nothing reads them.
#include <cstddef>

#include "mvcommondata.h"

namespace {

struct LangRow {
    const char* shortName;
    const char* longName;
};

constexpr LangRow kLangTable[MV_LANG_COUNT] = {
    {"un", "unk"},  // 0
    {"aa", "aar"},  // 1
    {"ab", "abk"},  // 2
    {"ae", "avs"},  // 3
    {"af", "afr"},  // 4
    {"ak", "akn"},  // 5
    {"am", "amh"},  // 6
    {"an", "arg"},  // 7
    {"ar", "ara"},  // 8
    {"as", "asm"},  // 9
    {"av", "avr"},  // 10
    {"ay", "aym"},  // 11
    {"az", "aze"},  // 12
    {"ba", "bak"},  // 13
    {"be", "bel"},  // 14
    {"bg", "bul"},  // 15
    {"bh", "bih"},  // 16
    {"bi", "bis"},  // 17
    {"bm", "bam"},  // 18
    {"bn", "ben"},  // 19
    {"bo", "bod"},  // 20
    {"br", "bre"},  // 21
    {"bs", "bos"},  // 22
    {"ca", "cat"},  // 23
    {"ce", "che"},  // 24
    {"ch", "cha"},  // 25
    {"co", "cos"},  // 26
    {"cr", "cre"},  // 27
    {"cs", "cze"},  // 28
    {"cu", "chu"},  // 29
    {"cv", "chv"},  // 30
    {"cy", "cym"},  // 31
    {"da", "dan"},  // 32
    {"de", "deu"},  // 33
    {"dv", "dhv"},  // 34
    {"dz", "dzo"},  // 35
    {"ee", "ewe"},  // 36
    {"el", "ell"},  // 37
    {"en", "eng"},  // 38
    {"eo", "epo"},  // 39
    {"es", "spa"},  // 40
    {"et", "est"},  // 41
    {"eu", "baq"},  // 42
    {"fa", "fas"},  // 43
    {"ff", "ful"},  // 44
    {"fi", "fin"},  // 45
    {"fj", "fij"},  // 46
    {"fo", "fao"},  // 47
    {"fr", "fra"},  // 48
    {"fy", "fys"},  // 49
    {"ga", "iri"},  // 50
    {"gd", "gae"},  // 51
    {"gl", "glc"},  // 52
    {"gn", "grn"},  // 53
    {"gu", "guj"},  // 54
    {"gv", "max"},  // 55
    {"ha", "hau"},  // 56
    {"he", "heb"},  // 57
    {"hi", "hin"},  // 58
    {"ho", "hmo"},  // 59
    {"hr", "hrt"},  // 60
    {"ht", "htn"},  // 61
    {"hu", "hun"},  // 62
    {"hy", "hye"},  // 63
    {"hz", "her"},  // 64
    {"ia", "ina"},  // 65
    {"id", "ind"},  // 66
    {"ie", "ine"},  // 67
    {"ig", "ibo"},  // 68
    {"ii", "iiu"},  // 69
    {"ik", "ipk"},  // 70
    {"io", "ido"},  // 71
    {"is", "ice"},  // 72
    {"it", "ita"},  // 73
    {"iu", "iku"},  // 74
    {"ja", "jpn"},  // 75
    {"jv", "jav"},  // 76
    {"ka", "geo"},  // 77
    {"kg", "kon"},  // 78
    {"ki", "gik"},  // 79
    {"kj", "kua"},  // 80
    {"kk", "kaz"},  // 81
    {"kl", "kal"},  // 82
    {"km", "khm"},  // 83
    {"kn", "kan"},  // 84
    {"ko", "kor"},  // 85
    {"kr", "kau"},  // 86
    {"ks", "kas"},  // 87
    {"ku", "kur"},  // 88
    {"kv", "kom"},  // 89
    {"kw", "cor"},  // 90
    {"ky", "kir"},  // 91
    {"ky", "kir"},  // 92
    {"la", "lat"},  // 93
    {"lb", "lbg"},  // 94
    {"lg", "lug"},  // 95
    {"li", "lim"},  // 96
    {"ln", "lin"},  // 97
    {"lo", "lao"},  // 98
    {"lt", "lit"},  // 99
    {"lu", "lub"},  // 100
    {"lv", "lav"},  // 101
    {"mg", "mlg"},  // 102
    {"mh", "mah"},  // 103
    {"mi", "mao"},  // 104
    {"mk", "mak"},  // 105
    {"ml", "mal"},  // 106
    {"mn", "mon"},  // 107
    {"mr", "mar"},  // 108
    {"ms", "may"},  // 109
    {"mt", "mlt"},  // 110
    {"my", "bur"},  // 111
    {"na", "nau"},  // 112
    {"nb", "nbo"},  // 113
    {"nd", "nde"},  // 114
    {"ne", "nep"},  // 115
    {"ng", "ndo"},  // 116
    {"nl", "dut"},  // 117
    {"nn", "nno"},  // 118
    {"no", "nor"},  // 119
    {"nr", "nbl"},  // 120
    {"nv", "nav"},  // 121
    {"ny", "che"},  // 122
    {"oc", "oci"},  // 123
    {"oj", "oji"},  // 124
    {"om", "orm"},  // 125
    {"or", "ori"},  // 126
    {"os", "ose"},  // 127
    {"pa", "pan"},  // 128
    {"pi", "pli"},  // 129
    {"pl", "pol"},  // 130
    {"ps", "pus"},  // 131
    {"pt", "por"},  // 132
    {"qu", "que"},  // 133
    {"rm", "roh"},  // 134
    {"rn", "run"},  // 135
    {"ro", "ron"},  // 136
    {"ru", "rus"},  // 137
    {"rw", "kin"},  // 138
    {"sa", "san"},  // 139
    {"sc", "sar"},  // 140
    {"sd", "snd"},  // 141
    {"se", "sam"},  // 142
    {"sg", "sag"},  // 143
    {"si", "sin"},  // 144
    {"sk", "slk"},  // 145
    {"sl", "slv"},  // 146
    {"sm", "smo"},  // 147
    {"sn", "sna"},  // 148
    {"so", "som"},  // 149
    {"sq", "alb"},  // 150
    {"sr", "ser"},  // 151
    {"ss", "ssw"},  // 152
    {"st", "sot"},  // 153
    {"su", "sun"},  // 154
    {"sv", "sve"},  // 155
    {"sw", "swa"},  // 156
    {"ta", "tam"},  // 157
    {"te", "tel"},  // 158
    {"tg", "tgk"},  // 159
    {"th", "tha"},  // 160
    {"ti", "tir"},  // 161
    {"tk", "tuk"},  // 162
    {"tl", "tgl"},  // 163
    {"tn", "tsn"},  // 164
    {"to", "tog"},  // 165
    {"tr", "tur"},  // 166
    {"ts", "tso"},  // 167
    {"tt", "tat"},  // 168
    {"tw", "twi"},  // 169
    {"ty", "tat"},  // 170
    {"ug", "uig"},  // 171
    {"uk", "ukr"},  // 172
    {"ur", "urd"},  // 173
    {"uz", "uzb"},  // 174
    {"ve", "ven"},  // 175
    {"vi", "vie"},  // 176
    {"vo", "vol"},  // 177
    {"wa", "wal"},  // 178
    {"wo", "wol"},  // 179
    {"xh", "xho"},  // 180
    {"yi", "yid"},  // 181
    {"yo", "yor"},  // 182
    {"za", "zha"},  // 183
    {"zh", "chi"},  // 184
    {"zu", "zul"},  // 185
    {"k0", "kv0"},  // 186
    {"k1", "kv1"},  // 187
    {"fr", "fre"},  // 188
    {"de", "ger"},  // 189
    {"", ""},  // 190: invalid, never matched
};

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Whole-string equality ignoring ASCII case; table codes are lower case.
bool SameCode(const char* code, const char* tableCode) {
    size_t i = 0;
    for (; tableCode[i] != '\0'; ++i)
        if (LowerAscii(code[i]) != tableCode[i]) return false;  // also stops at code's end
    return code[i] == '\0';
}

template <typename Field>
uint16_t FindCode(const char* code, Field field) {
    if (code == nullptr) return 0;
    for (int i = 0; i < MV_LANG_INVALID; ++i)
        if (SameCode(code, kLangTable[i].*field)) return static_cast<uint16_t>(i);
    return 0;
}

}  // namespace

uint16_t HSCGetLangIDByShortName(const char* code) { return FindCode(code, &LangRow::shortName); }

uint16_t HSCGetLangIDByLongName(const char* code) { return FindCode(code, &LangRow::longName); }

const char* HSCGetLangShortName(uint16_t id) {
    return id < MV_LANG_COUNT ? kLangTable[id].shortName : "";
}

const char* HSCGetLangLongName(uint16_t id) {
    return id < MV_LANG_COUNT ? kLangTable[id].longName : "";
}
