#include "ui/data_exchange.h"

#include "protocol/frame.h"
#include "ui/host_center_dlg.h"

#include <QCoreApplication>
#include <QLineEdit>

#include <limits>

using namespace veltrano;

namespace {

constexpr int MAX_COMMAND_CHARS = 255;

bool IsBlank(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\r') ||
           c == QLatin1Char('\n') || c == QLatin1Char('\v') || c == QLatin1Char('\f');
}

} // namespace

std::optional<int> ParseDialogInteger(QStringView text)
{
    qsizetype i = 0;
    const qsizetype size = text.size();
    while (i < size && IsBlank(text[i]))
        ++i;
    bool negative = false;
    if (i < size && (text[i] == QLatin1Char('-') || text[i] == QLatin1Char('+')))
        negative = text[i++] == QLatin1Char('-');
    const qsizetype digitsStart = i;
    long long magnitude = 0;
    constexpr long long LIMIT = static_cast<long long>(std::numeric_limits<int>::max()) + 1;
    while (i < size && text[i] >= QLatin1Char('0') && text[i] <= QLatin1Char('9')) {
        magnitude = std::min(LIMIT, magnitude * 10 + (text[i].unicode() - u'0'));
        ++i;
    }
    if (i == digitsStart)
        return std::nullopt;
    while (i < size && IsBlank(text[i]))
        ++i;
    if (i != size)
        return std::nullopt;
    if (negative)
        return static_cast<int>(-magnitude);
    return static_cast<int>(std::min<long long>(magnitude, std::numeric_limits<int>::max()));
}

QString IntegerPrompt()
{
    return QCoreApplication::translate("CHostCenterDlg", "请输入一个整数。");
}

QString RangePrompt(int minValue, int maxValue)
{
    return QCoreApplication::translate("CHostCenterDlg", "请输入一个介于 %1 和 %2 之间的整数。")
        .arg(minValue)
        .arg(maxValue);
}

QString MaxCharsPrompt(int maxChars)
{
    return QCoreApplication::translate("CHostCenterDlg", "请输入不超过 %1 个字符。").arg(maxChars);
}

bool CHostCenterDlg::UpdateData(bool saveAndValidate)
{
    // The first failure ends the exchange: later fields keep what the last exchange reaching them left.
    return ExchangeInt(saveAndValidate, m_commNo, m_form.commNo, 0, MAX_ADDRESS_NUMBER) &&
           ExchangeInt(saveAndValidate, m_deviceNo, m_form.deviceNo, 0, MAX_ADDRESS_NUMBER) &&
           ExchangeInt(saveAndValidate, m_zoneNo, m_form.zoneNo, 0, MAX_ZONE_NUMBER) &&
           ExchangeText(saveAndValidate, m_commandText, m_form.commandText, MAX_COMMAND_CHARS);
}
bool CHostCenterDlg::ExchangeInt(bool saveAndValidate, QLineEdit* edit, int& value, int minValue,
                                 int maxValue)
{
    if (!saveAndValidate) {
        edit->setText(QString::number(value));
        return true;
    }
    const std::optional<int> parsed = ParseDialogInteger(edit->text());
    if (!parsed) {
        FailOn(edit, IntegerPrompt());
        return false;
    }
    // Stored before the check: a refused value stays in the member.
    value = *parsed;
    if (value < minValue || value > maxValue) {
        FailOn(edit, RangePrompt(minValue, maxValue));
        return false;
    }
    return true;
}

bool CHostCenterDlg::ExchangeText(bool saveAndValidate, QLineEdit* edit, QString& value, int maxChars)
{
    if (!saveAndValidate) {
        edit->setText(value);
        edit->setMaxLength(maxChars);
        return true;
    }
    value = edit->text();
    if (value.size() > maxChars) {
        FailOn(edit, MaxCharsPrompt(maxChars));
        return false;
    }
    return true;
}

void CHostCenterDlg::FailOn(QLineEdit* edit, const QString& prompt)
{
    ShowMessage(prompt);
    edit->setFocus(Qt::OtherFocusReason);
    edit->selectAll();
}
