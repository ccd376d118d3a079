// The values of tallory's command line that are more than plain text or a
// number: frame identifiers, UTF-8 text for UTF-16 tags, hex bytes and target
// options NAME=VALUE. Kept apart from the commands so that they can be fuzzed.
#ifndef TALLORY_TOOLS_CLI_VALUES_H
#define TALLORY_TOOLS_CLI_VALUES_H

#include <string>
#include <vector>

namespace tallory::cli {

// The frame identifiers by number, as the library numbers them.
struct FrameName {
    int id;
    const char* code;
};
inline constexpr FrameName kFrameNames[] = {
    {1, "AENC"},  {2, "APIC"},  {3, "ASPI"},  {4, "COMM"},  {5, "COMR"},  {6, "ENCR"},  {7, "EQU2"},  {8, "EQUA"},
    {9, "ETCO"},  {10, "GEOB"}, {11, "GRID"}, {12, "IPLS"}, {13, "LINK"}, {14, "MCDI"}, {15, "MLLT"}, {16, "OWNE"},
    {17, "PRIV"}, {18, "PCNT"}, {19, "POPM"}, {20, "POSS"}, {21, "RBUF"}, {22, "RVA2"}, {23, "RVAD"}, {24, "RVRB"},
    {25, "SEEK"}, {26, "SIGN"}, {27, "SYLT"}, {28, "SYTC"}, {29, "TALB"}, {30, "TBPM"}, {31, "TCOM"}, {32, "TCON"},
    {33, "TCOP"}, {34, "TDAT"}, {35, "TDEN"}, {36, "TDLY"}, {37, "TDOR"}, {38, "TDRC"}, {39, "TDRL"}, {40, "TDTG"},
    {41, "TIPL"}, {42, "TENC"}, {43, "TEXT"}, {44, "TFLT"}, {45, "TIME"}, {46, "TIT1"}, {47, "TIT2"}, {48, "TIT3"},
    {49, "TKEY"}, {50, "TLAN"}, {51, "TLEN"}, {52, "TMCL"}, {53, "TMED"}, {54, "TMOO"}, {55, "TOAL"}, {56, "TOFN"},
    {57, "TOLY"}, {58, "TOPE"}, {59, "TORY"}, {60, "TOWN"}, {61, "TPE1"}, {62, "TPE2"}, {63, "TPE3"}, {64, "TPE4"},
    {65, "TPOS"}, {66, "TPRO"}, {67, "TPUB"}, {68, "TRCK"}, {69, "TRDA"}, {70, "TRSN"}, {71, "TRSO"}, {72, "TSIZ"},
    {73, "TSOA"}, {74, "TSOP"}, {75, "TSOT"}, {76, "TSRC"}, {77, "TSSE"}, {78, "TSST"}, {79, "TXXX"}, {80, "TYER"},
    {81, "UFID"}, {82, "USER"}, {83, "USLT"}, {84, "WCOM"}, {85, "WCOP"}, {86, "WOAF"}, {87, "WOAR"}, {88, "WOAS"},
    {89, "WORS"}, {90, "WPAY"}, {91, "WPUB"}, {92, "WXXX"},
};

// The number of a frame code (case-insensitive), or 0 when there is none.
int frameIdOf(std::string code);
// The code of a frame number, or "????".
const char* codeOf(int id);

// The library takes UTF-16; command lines and terminals speak UTF-8. A byte
// that does not start a valid UTF-8 sequence (overlong forms, surrogates and
// values past U+10FFFF included) is taken as ISO-8859-1.
std::u16string fromUtf8(const std::string& s);
// UTF-16 up to its terminator as UTF-8; a lone surrogate becomes U+FFFD.
std::string toUtf8(const char16_t* s);

std::string toHex(const std::vector<unsigned char>& bytes);
// False for an odd count or a character that is not a hex digit.
bool fromHex(const std::string& text, std::vector<unsigned char>& out);

// "NAME=VALUE" split at the first '='; a bare "NAME" has no value.
struct OptionValue {
    std::string name;
    std::string value;
    bool hasValue = false;
};
OptionValue splitOption(const std::string& option);

}  // namespace tallory::cli

#endif
