#include "ui/qt_translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QPointer>
#include <QTranslator>

using namespace Qt::Literals::StringLiterals;

namespace {

// The translators this module installed; QPointer, since a caller may delete what it was given.
struct Installed
{
    QPointer<QTranslator> window;
    QPointer<QTranslator> qt;
    UiLanguage language{UiLanguage::Chinese};
};

Installed& State()
{
    static Installed state;
    return state;
}

void Remove(QPointer<QTranslator>& translator)
{
    if (translator != nullptr) {
        QCoreApplication::removeTranslator(translator);
        delete translator.data();
    }
    translator = nullptr;
}

QTranslator* Load(const QString& name, const QString& directory)
{
    auto* translator = new QTranslator(QCoreApplication::instance());
    if (!translator->load(name, directory) || !QCoreApplication::installTranslator(translator)) {
        delete translator;
        return nullptr;
    }
    return translator;
}

QTranslator* LoadQt(UiLanguage language)
{
    return Load(language == UiLanguage::English ? u"qtbase_en"_s : u"qtbase_zh_CN"_s,
                QLibraryInfo::path(QLibraryInfo::TranslationsPath));
}

} // namespace

UiLanguage LanguageFromName(const QString& name)
{
    const QString lower = name.trimmed().toLower();
    const bool english = lower == u"en"_s || lower.startsWith(u"en_"_s) || lower.startsWith(u"en-"_s);
    return english ? UiLanguage::English : UiLanguage::Chinese;
}

UiLanguage LanguageFromEnvironment()
{
    return LanguageFromName(qEnvironmentVariable("VELTRANO_LANGUAGE"));
}

bool SetUiLanguage(UiLanguage language)
{
    Installed& state = State();
    QTranslator* window = nullptr;
    if (language == UiLanguage::English) {
        window = Load(u"veltrano_en"_s, u":/i18n"_s);
        if (window == nullptr)
            return false;
    }
    Remove(state.window);
    Remove(state.qt);
    state.window = window;
    state.qt = LoadQt(language);
    state.language = language;
    return true;
}

UiLanguage CurrentUiLanguage()
{
    return State().language;
}

QString LanguageName(UiLanguage language)
{
    return language == UiLanguage::English ? u"English"_s : u"中文"_s;
}

QTranslator* InstallQtTranslations(QCoreApplication& app)
{
    Q_UNUSED(app);
    Installed& state = State();
    Remove(state.qt);
    state.qt = LoadQt(state.language);
    return state.qt;
}
