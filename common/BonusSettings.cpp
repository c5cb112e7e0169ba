#include "BonusSettings.h"

#include "Limits.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>
#include <QRegularExpression>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cmath>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

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
    {"reversalWindow", 1, Limits::maxReversalWindowSeconds},
    {"keepAlive", 0, Limits::maxKeepAliveSeconds},
};

// A text that is a number or an object is a slip in the file, and would
// otherwise become a path or a header nobody meant.
const char *const textKeys[] = {"statusFile", "printFile",  "regexPattern", "regexRule",
                                "header",     "terminalId", "address",      "logCardNumbers"};
// The server list and TLS files, checked apart.
const char *const otherKeys[] = {"servers", "tls"};

QString shown(const QString &key, const QJsonValue &value)
{
    return QString::fromUtf8(
        QJsonDocument(QJsonObject {{key, value}}).toJson(QJsonDocument::Compact));
}

QString outOfRange(const QString &key, qint64 minimum, qint64 maximum, qint64 value)
{
    return QStringLiteral("Значение \"%1\" вне допустимых пределов (%2..%3): %4")
        .arg(key, QString::number(minimum), QString::number(maximum), QString::number(value));
}

int editDistance(const QString &a, const QString &b)
{
    std::vector<int> row(size_t(b.size()) + 1);
    for (int j = 0; j <= b.size(); ++j)
        row[size_t(j)] = j;
    for (int i = 1; i <= a.size(); ++i) {
        int diagonal = row[0];
        row[0] = i;
        for (int j = 1; j <= b.size(); ++j) {
            const int above = row[size_t(j)];
            const int cost = a.at(i - 1).toLower() == b.at(j - 1).toLower() ? 0 : 1;
            row[size_t(j)] = std::min({above + 1, row[size_t(j - 1)] + 1, diagonal + cost});
            diagonal = above;
        }
    }
    return row[size_t(b.size())];
}

// A name a certificate can carry: an IP address, or a host name of letters,
// digits, '-' and '.'.
bool isHostName(const QString &name)
{
    const QByteArray bytes = name.toUtf8();
    unsigned char address[sizeof(in6_addr)];
    if (inet_pton(AF_INET, bytes.constData(), address) == 1
        || inet_pton(AF_INET6, bytes.constData(), address) == 1)
        return true;
    static const QRegularExpression hostName(
        QStringLiteral("^(?=.{1,253}$)[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?"
                       "(?:\\.[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?)*$"));
    return hostName.match(name).hasMatch();
}

} // namespace

BonusSettings BonusSettings::read(const QString &path)
{
    BonusSettings settings;
    // Read at every operation: plain calls, no QFile asking about the file
    // again and again.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        settings.m_state = errno == ENOENT ? State::Missing : State::Unreadable;
        return settings;
    }
    QByteArray bytes;
    char buffer[8192];
    bool failed = false;
    // Read no further than one byte past the limit, whatever the file says
    // of its size: it may grow while it is read.
    while (bytes.size() <= Limits::maxSettingsBytes) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        failed = got < 0;
        if (got <= 0)
            break;
        bytes.append(buffer, int(got));
    }
    ::close(fd);
    if (failed) {
        settings.m_state = State::Unreadable;
        return settings;
    }
    if (bytes.size() > Limits::maxSettingsBytes) {
        settings.m_state = State::TooLarge;
        settings.m_problems << QStringLiteral("Файл настроек больше %1 байт: %2")
                                   .arg(QString::number(Limits::maxSettingsBytes), path);
        return settings;
    }
    return parsed(bytes);
}

BonusSettings BonusSettings::fromBytes(const QByteArray &bytes)
{
    if (bytes.size() > Limits::maxSettingsBytes) {
        BonusSettings settings;
        settings.m_state = State::TooLarge;
        settings.m_problems << QStringLiteral("Файл настроек больше %1 байт")
                                   .arg(QString::number(Limits::maxSettingsBytes));
        return settings;
    }
    return parsed(bytes);
}

BonusSettings BonusSettings::parsed(const QByteArray &bytes)
{
    BonusSettings settings;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError) {
        settings.m_state = State::NotJson;
    } else {
        // A top level that is not an object holds no keys.
        settings.m_values = document.object();
        settings.m_state = State::Read;
        settings.check();
    }
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

bool BonusSettings::masksCardNumbers() const
{
    return text(QStringLiteral("logCardNumbers")) == QLatin1String("masked");
}

int BonusSettings::reversalWindowSeconds() const
{
    const int window = integer(QStringLiteral("reversalWindow"));
    return window > 0 ? window : Limits::defaultReversalWindowSeconds;
}

int BonusSettings::keepAliveSeconds() const
{
    // 0 is a choice here (a connection for every call), not a missing value.
    const QString key = QStringLiteral("keepAlive");
    const QJsonValue json = m_values.value(key);
    if (json.isUndefined() || json.isNull() || !m_numbers.contains(key))
        return Limits::defaultKeepAliveSeconds;
    return m_numbers.value(key);
}

QHash<QString, QString> BonusSettings::unknownKeys() const
{
    const QStringList known = knownKeys();
    QHash<QString, QString> unknown;
    for (const QString &key : m_values.keys()) {
        if (known.contains(key))
            continue;
        const auto nearest = std::min_element(
            known.cbegin(), known.cend(), [&key](const QString &a, const QString &b) {
                return editDistance(key, a) < editDistance(key, b);
            });
        unknown.insert(key, *nearest);
    }
    return unknown;
}

QStringList BonusSettings::knownKeys()
{
    QStringList keys;
    for (const NumberKey &rule : numberKeys)
        keys << QLatin1String(rule.name);
    for (const char *key : textKeys)
        keys << QLatin1String(key);
    for (const char *key : otherKeys)
        keys << QLatin1String(key);
    return keys;
}

void BonusSettings::check()
{
    for (const NumberKey &rule : numberKeys) {
        const QString key = QLatin1String(rule.name);
        const QJsonValue json = m_values.value(key);
        qint64 value = 0;
        QString problem;
        if (!number(key, json, &value, &problem))
            m_problems << problem;
        else if (!json.isUndefined() && !json.isNull()
                 && (value < rule.minimum || value > rule.maximum))
            m_problems << outOfRange(key, rule.minimum, rule.maximum, value);
        else
            m_numbers.insert(key, int(value));
    }
    for (const char *name : textKeys) {
        const QString key = QLatin1String(name);
        const QJsonValue json = m_values.value(key);
        if (!json.isUndefined() && !json.isNull() && !json.isString())
            m_problems << QStringLiteral("Значение \"%1\" должно быть строкой: %2")
                              .arg(key, shown(key, json));
    }
    const QJsonValue cardNumbers = m_values.value(QStringLiteral("logCardNumbers"));
    if (cardNumbers.isString() && cardNumbers != QLatin1String("full")
        && cardNumbers != QLatin1String("masked"))
        m_problems << QStringLiteral("Значение \"logCardNumbers\" должно быть \"full\" или "
                                     "\"masked\": %1")
                          .arg(shown(QStringLiteral("logCardNumbers"), cardNumbers));
    checkServers();
    checkTls();
}

void BonusSettings::checkServers()
{
    const QString key = QStringLiteral("servers");
    const QJsonValue value = m_values.value(key);
    if (value.isUndefined() || value.isNull())
        return;
    const QString wrong = QStringLiteral("Значение \"servers\" должно быть списком вида "
                                         "[{\"address\": \"...\", \"port\": N}, ...]: %1")
                              .arg(shown(key, value));
    if (!value.isArray() || value.toArray().isEmpty()) {
        m_problems << wrong;
        return;
    }
    for (const QJsonValue &entry : value.toArray()) {
        const QJsonObject server = entry.toObject();
        const QJsonValue address = server.value(QStringLiteral("address"));
        qint64 port = 0;
        QString problem;
        if (!entry.isObject() || !address.isString() || address.toString().isEmpty()
            || !number(QStringLiteral("port"), server.value(QStringLiteral("port")), &port,
                       &problem)
            || port < 1 || port > 65535) {
            m_problems << wrong;
            m_servers.clear();
            return;
        }
        m_servers.append({address.toString(), int(port)});
    }
}

void BonusSettings::checkTls()
{
    const QString key = QStringLiteral("tls");
    const QJsonValue value = m_values.value(key);
    if (value.isUndefined())
        return;
    const QJsonObject tls = value.toObject();
    const auto file = [&tls](const char *name) {
        const QJsonValue path = tls.value(QLatin1String(name));
        return path.isString() ? path.toString() : QString();
    };
    m_tls = {file("caFile"), file("certFile"), file("keyFile"), file("serverName")};
    const QJsonValue keyFile = tls.value(QStringLiteral("keyFile"));
    if (!value.isObject() || m_tls.caFile.isEmpty() || m_tls.certFile.isEmpty()
        || !(keyFile.isUndefined() || keyFile.isString()))
        m_problems << QStringLiteral("Значение \"tls\" должно быть объектом вида {\"caFile\": "
                                     "\"...\", \"certFile\": \"...\", \"keyFile\": \"...\"}: %1")
                          .arg(shown(key, value));
    // A name that cannot match anything would refuse every server.
    const QJsonValue serverName = tls.value(QStringLiteral("serverName"));
    if (!serverName.isUndefined() && (!serverName.isString() || !isHostName(serverName.toString())))
        m_problems << QStringLiteral("Значение \"tls.serverName\" должно быть именем или адресом "
                                     "сервера: %1")
                          .arg(shown(QStringLiteral("serverName"), serverName));
}

bool BonusSettings::number(const QString &key, const QJsonValue &json, qint64 *value,
                           QString *problem)
{
    *value = 0;
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
        *problem = QStringLiteral("Значение \"%1\" должно быть целым числом: %2")
                       .arg(key, shown(key, json));
        *value = 0;
    }
    return ok;
}
