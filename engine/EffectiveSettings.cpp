#include "EffectiveSettings.h"

#include "CardNumberMask.h"
#include "TillPaths.h"

namespace {

const int defaultWidthPrint = 30;

} // namespace

EffectiveSettings::EffectiveSettings()
    : widthPrint(0)
{
    fillDefaults();
}

bool EffectiveSettings::apply(const BonusSettings &settings)
{
    read = settings;
    const bool refused = read.state() == BonusSettings::State::NotJson
        || read.state() == BonusSettings::State::TooLarge
        || (read.state() == BonusSettings::State::Read && !read.isUsable());
    if (refused)
        return false;
    if (read.state() == BonusSettings::State::Read) {
        printFile = read.text(QStringLiteral("printFile"));
        statusFile = read.text(QStringLiteral("statusFile"));
        widthPrint = read.integer(QStringLiteral("widthPrint"));
        regexPattern = read.text(QStringLiteral("regexPattern"));
        regexRule = read.text(QStringLiteral("regexRule"));
        header = read.text(QStringLiteral("header"));
        CardNumberMask::setLogMasked(read.masksCardNumbers());
        fillDefaults();
    }
    return true;
}

void EffectiveSettings::fillDefaults()
{
    if (statusFile.isEmpty())
        statusFile = TillPaths::statusFile();
    if (printFile.isEmpty())
        printFile = TillPaths::printFile();
    if (widthPrint == 0)
        widthPrint = defaultWidthPrint;
    if (header.isEmpty())
        header = QStringLiteral("Бонтария");
}
