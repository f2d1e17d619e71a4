#include "ui/data_exchange.h"

#include "protocol/frame.h"
#include "protocol/number_text.h"
#include "ui/host_center_dlg.h"

#include <QCoreApplication>
#include <QLineEdit>

using namespace veltrano;

namespace {

constexpr int MAX_COMMAND_CHARS = 255;

} // namespace

std::optional<int> ParseDialogInteger(QStringView text)
{
    const QByteArray bytes = text.toUtf8();
    return ParseSaturatingNumber(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
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
