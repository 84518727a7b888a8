#pragma once

#include <QTranslator>

class LanguageManager;

// Lets QML look texts up with qsTr("key"): every binding that did is re-evaluated when the engine
// retranslates after a language switch. Keys the tables lack fall through to Qt's default (the key).
class LanguageTranslator : public QTranslator {
    Q_OBJECT
public:
    explicit LanguageTranslator(const LanguageManager &languages, QObject *parent = nullptr);

    QString translate(const char *context, const char *sourceText, const char *disambiguation = nullptr,
                      int n = -1) const override;
    bool isEmpty() const override { return false; }

private:
    const LanguageManager &m_languages;
};
