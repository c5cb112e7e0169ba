#include "BonusSettings.h"

#include "Limits.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>

#include <climits>
#include <cmath>

namespace {

struct NumberKey
{
    const char *name;
    qint64 minimum;
    qint64 maximum;
};

// A negative width keeps its meaning (no padding at all); a width beyond
// what a printer can take is a typing slip.
const NumberKey numberKeys[] = {
    {"widthPrint", INT_MIN, Limits::maxWidthPrint},
    {"port", 1, 65535},
    {"connectTimeout", 0, INT_MAX},
    {"recvTimeout", 0, INT_MAX},
    {"sendTimeout", 0, INT_MAX},
};

const char *const textKeys[]
    = {"statusFile", "printFile", "regexPattern", "regexRule", "header", "terminalId", "address"};

} // namespace

BonusSettings BonusSettings::read(const QString &path)
{
    BonusSettings settings;
    QFile file(path);
    if (!file.exists())
        return settings;
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        settings.m_state = State::Unreadable;
        return settings;
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError) {
        settings.m_state = State::NotJson;
        return settings;
    }
    // A top level that is not an object holds no keys.
    settings.m_values = document.object();
    settings.m_state = State::Read;
    settings.check();
    return settings;
}

QString BonusSettings::text(const QString &key) const
{
    return m_values.value(key).toVariant().toString();
}

int BonusSettings::integer(const QString &key) const
{
    return m_numbers.value(key, 0);
}

QStringList BonusSettings::knownKeys()
{
    QStringList keys;
    for (const NumberKey &rule : numberKeys)
        keys << QLatin1String(rule.name);
    for (const char *key : textKeys)
        keys << QLatin1String(key);
    return keys;
}

void BonusSettings::check()
{
    for (const NumberKey &rule : numberKeys) {
        const QString key = QLatin1String(rule.name);
        qint64 value = 0;
        QString problem;
        if (!number(key, &value, &problem)) {
            m_problems << problem;
        } else if (m_values.contains(key) && !m_values.value(key).isNull()
                   && (value < rule.minimum || value > rule.maximum)) {
            m_problems << QStringLiteral("Значение \"%1\" вне допустимых пределов (%2..%3): %4")
                              .arg(key, QString::number(rule.minimum),
                                   QString::number(rule.maximum), QString::number(value));
        } else {
            m_numbers.insert(key, int(value));
        }
    }
}

bool BonusSettings::number(const QString &key, qint64 *value, QString *problem) const
{
    *value = 0;
    const QJsonValue json = m_values.value(key);
    if (json.isUndefined() || json.isNull())
        return true;

    bool ok = false;
    if (json.isDouble()) {
        const double d = json.toDouble();
        // Integral and within 64 bits; the key's range does the rest.
        ok = std::isfinite(d) && std::floor(d) == d && std::fabs(d) < 9.0e15;
        if (ok)
            *value = qint64(d);
    } else if (json.isString()) {
        *value = json.toString().trimmed().toLongLong(&ok);
    }
    if (!ok) {
        const QByteArray shown
            = QJsonDocument(QJsonObject {{key, json}}).toJson(QJsonDocument::Compact);
        *problem = QStringLiteral("Значение \"%1\" должно быть целым числом: %2")
                       .arg(key, QString::fromUtf8(shown));
        *value = 0;
    }
    return ok;
}
