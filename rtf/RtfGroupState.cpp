#include "RtfGroupState.h"

#include <QSet>
#include <QtGlobal>

bool IsSkippedDestination(const QByteArray &word)
{
    static const QSet<QByteArray> kSkipped = {"stylesheet",   "info",      "header",
                                              "headerl",      "headerr",   "headerf",
                                              "footer",       "footerl",   "footerr",
                                              "footerf",      "footnote",  "themedata",
                                              "datastore",    "fldinst",   "colorschememapping",
                                              "latentstyles", "listtable", "listoverridetable",
                                              "rsidtbl",      "xmlnstbl",  "pgdsctbl",
                                              "revtbl",       "filetbl",   "generator",
                                              "nonshppict",   "pn",        "template",
                                              "userprops",    "docvar",    "annotation",
                                              "atnid",        "atnauthor", "bkmkstart",
                                              "bkmkend",      "private",   "mmathPr",
                                              "listpicture",  "objdata",   "result",
                                              "txe",          "xe",        "tc"};
    return kSkipped.contains(word);
}

bool IsEmbeddedObject(const QByteArray &word)
{
    return word == "pict" || word == "object" || word == "shppict" || word == "shp";
}

bool RtfGroupState::ApplyFormatWord(const QByteArray &word, bool on, int value, int defaultFont)
{
    if (word == "b") {
        bold = on;
    } else if (word == "i") {
        italic = on;
    } else if (word == "ul" || word == "uld" || word == "uldb" || word == "ulw" || word == "ulth"
               || word == "uldash" || word == "uldashd" || word == "uldashdd" || word == "ulwave"
               || word == "ulhwave" || word == "ululdbwave" || word == "ulthd" || word == "ulthdash"
               || word == "ulldash" || word == "ulthldash" || word == "ulthdashd"
               || word == "ulthdashdd") {
        underline = on;
    } else if (word == "ulnone") {
        underline = false;
    } else if (word == "strike" || word == "striked") {
        strike = on;
    } else if (word == "fs") {
        halfPoints = value > 0 ? qMin(value, kMaxHalfPoints) : kDefaultHalfPoints;
    } else if (word == "cf") {
        colour = value;
    } else if (word == "f") {
        font = value;
    } else if (word == "plain") {
        font = defaultFont;
        halfPoints = kDefaultHalfPoints;
        colour = 0;
        bold = italic = underline = strike = false;
    } else if (word == "uc") {
        unicodeSkip = qBound(0, value, 16);
    } else {
        return false;
    }
    return true;
}
