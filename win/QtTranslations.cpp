// SPDX-License-Identifier: GPL-3.0-or-later
#include "win/QtTranslations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QPointer>
#include <QTranslator>

namespace kestova::win {

QString QtLocaleForLanguage(const QString& languageName)
{
    // "Chinese (Simplified)": the language is the first word; the rest
    // names the script, which Qt's default territory for it already picks.
    const QString word = languageName.section(QLatin1Char(' '), 0, 0).trimmed();
    if (word.isEmpty())
        return {};
    for (int l = QLocale::AnyLanguage + 1; l <= QLocale::LastLanguage; ++l) {
        const auto language = QLocale::Language(l);
        if (QLocale::languageToString(language).compare(word, Qt::CaseInsensitive) != 0)
            continue;
        const bool traditional = languageName.contains(QLatin1String("Traditional"), Qt::CaseInsensitive);
        const QLocale locale = traditional ? QLocale(language, QLocale::TraditionalHanScript, QLocale::AnyTerritory)
                                           : QLocale(language);
        return locale.language() == language ? locale.name() : QString();
    }
    return {};
}

bool UseQtTranslationsFor(const QString& languageName, const QString& folder)
{
    // One translator for the whole program, owned by the application.
    static QPointer<QTranslator> current;
    if (current) {
        QCoreApplication::removeTranslator(current);
        delete current;
    }
    const QString locale = QtLocaleForLanguage(languageName);
    if (locale.isEmpty() || locale.startsWith(QLatin1String("en")))
        return false;
    auto* translator = new QTranslator(QCoreApplication::instance());
    const QString dir = folder.isEmpty() ? QLibraryInfo::path(QLibraryInfo::TranslationsPath) : folder;
    if (!translator->load(QLocale(locale), QStringLiteral("qtbase"), QStringLiteral("_"), dir)) {
        delete translator;
        return false;
    }
    QCoreApplication::installTranslator(translator);
    current = translator;
    return true;
}

} // namespace kestova::win
