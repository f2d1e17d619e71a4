#pragma once

class QCoreApplication;
class QTranslator;

// Qt's own texts (standard buttons, the file dialogs) in the window's language, Simplified Chinese, from
// the translations installed with Qt (qt6-translations-l10n). The translator belongs to `app`; nullptr
// when the system has none, and Qt's own texts stay English.
QTranslator* InstallQtTranslations(QCoreApplication& app);
