#pragma once
// The track page's dialogs: a virtual track's start and end, pattern renaming, the choice
// among several matching discs, and the database options.
#include "app/pattern_rename.h"
#include "app/rip_settings.h"
#include "app/virtual_track.h"
#include "metadata/disc_lookup.h"
#include "metadata/freedb_client.h"

#include <QDialog>
#include <array>
#include <vector>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QListWidget;

class VirtualTrackDialog : public QDialog {
    Q_OBJECT
public:
    VirtualTrackDialog(QWidget* parent, uint64_t startFrame, uint64_t endFrame, uint64_t leadOut);
    // The checked range, after OK.
    uint64_t startFrame() const { return m_start; }
    uint64_t endFrame() const { return m_end; }
    void accept() override;

private:
    VirtualTrackTime fields(int which) const;
    std::array<QLineEdit*, 8> m_edits{};
    uint64_t m_leadOut, m_start = 0, m_end = 0;
};

class PatternRenameDialog : public QDialog {
    Q_OBJECT
public:
    PatternRenameDialog(QWidget* parent, PatternRename& rename);
    void accept() override;

private:
    PatternRename& m_rename;
    QLineEdit* m_match;
    QLineEdit* m_output;
    QCheckBox* m_selectedOnly;
    QCheckBox* m_matchCase;
};

class ChoiceDialog : public QDialog {
    Q_OBJECT
public:
    ChoiceDialog(QWidget* parent, const std::vector<DiscMatch>& matches, bool exact);
    // The chosen match's index, or -1.
    int choice() const { return m_choice; }
    void accept() override;

private:
    QListWidget* m_list;
    int m_choice = -1;
};

class FreedbOptionsDialog : public QDialog {
    Q_OBJECT
public:
    FreedbOptionsDialog(QWidget* parent, RipSettings& settings, const std::vector<FreedbSite>& sites);
    void accept() override;

    static constexpr const char* kProxyExample = "proxy.example.com:8080";

private:
    RipSettings& m_settings;
    QLineEdit* m_email;
    QLineEdit* m_proxy;
    QCheckBox* m_useProxy;
    QComboBox* m_server;
};
