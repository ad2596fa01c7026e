#include "gui/dialogs.h"

#include "core/text.h"
#include "gui/message_box.h"
#include "metadata/disc_lookup.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

namespace {

QDialogButtonBox* okCancel(QDialog* dialog) {
    auto* box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
    QObject::connect(box, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(box, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    return box;
}

// The database settings hold single-byte text.
QString fromSingleByte(const std::string& text) {
    return qs(kySingleByteToUtf8(text));
}
std::string toSingleByte(const QString& text) {
    std::string s = kyUtf8ToSingleByte(us(text));
    if (s.size() > RipSettings::kDbTextBytes) s.resize(RipSettings::kDbTextBytes);
    return s;
}

} // namespace

// ---- virtual track -----------------------------------------------------------------------

VirtualTrackDialog::VirtualTrackDialog(QWidget* parent, uint64_t startFrame, uint64_t endFrame,
                                       uint64_t leadOut)
    : QDialog(parent), m_leadOut(leadOut) {
    setObjectName("virtualTrackDialog");
    setWindowTitle("Add virtual track - DskR");
    auto* grid = new QGridLayout;
    const char* units[4] = {"Hours", "Minutes", "Seconds", "Frames"};
    const char* names[8] = {"startHours", "startMinutes", "startSeconds", "startFrames",
                            "endHours",   "endMinutes",   "endSeconds",   "endFrames"};
    for (int c = 0; c < 4; ++c) grid->addWidget(new QLabel(units[c]), 0, c + 1, Qt::AlignCenter);
    grid->addWidget(new QLabel("Start:"), 1, 0);
    grid->addWidget(new QLabel("End:"), 2, 0);
    const VirtualTrackTime start = timeFields(startFrame), end = timeFields(endFrame);
    for (int i = 0; i < 8; ++i) {
        auto* edit = new QLineEdit(qs(i < 4 ? start[size_t(i)] : end[size_t(i - 4)]));
        edit->setObjectName(names[i]);
        edit->setMaxLength(9);
        edit->setAlignment(Qt::AlignRight);
        edit->setMinimumWidth(edit->fontMetrics().horizontalAdvance("000000") + 12);
        m_edits[size_t(i)] = edit;
        grid->addWidget(edit, 1 + i / 4, 1 + i % 4);
    }
    auto* hint = new QLabel("75 frames make a second. The range may reach up to the end of "
                            "the disc.");
    hint->setWordWrap(true);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addWidget(hint);
    layout->addWidget(okCancel(this));
}

VirtualTrackTime VirtualTrackDialog::fields(int which) const {
    VirtualTrackTime t;
    for (size_t i = 0; i < 4; ++i) t[i] = us(m_edits[size_t(which * 4) + i]->text());
    return t;
}

void VirtualTrackDialog::accept() {
    const VirtualTrackCheck check =
        checkVirtualTrack(fields(0), fields(1), m_leadOut, m_start, m_end);
    if (check != VirtualTrackCheck::Ok) {
        notify(this, virtualTrackMessage(check));
        return;
    }
    QDialog::accept();
}

// ---- pattern rename ------------------------------------------------------------------------

PatternRenameDialog::PatternRenameDialog(QWidget* parent, PatternRename& rename)
    : QDialog(parent), m_rename(rename) {
    setObjectName("patternRenameDialog");
    setWindowTitle("Pattern rename - DskR");
    m_match = new QLineEdit(qs(rename.match));
    m_match->setObjectName("matchPattern");
    m_output = new QLineEdit(qs(rename.output));
    m_output->setObjectName("outputPattern");
    m_match->setMaxLength(259);
    m_output->setMaxLength(259);
    m_selectedOnly = new QCheckBox("Rename selected tracks only");
    m_selectedOnly->setObjectName("selectedOnly");
    m_selectedOnly->setChecked(rename.selectedOnly);
    m_matchCase = new QCheckBox("Match case");
    m_matchCase->setObjectName("matchCase");
    m_matchCase->setChecked(rename.matchCase);
    auto* form = new QFormLayout;
    form->addRow("Match pattern:", m_match);
    form->addRow("Output pattern:", m_output);
    auto* hint = new QLabel("'?' stands for one character and '*' for any run of characters. "
                            "The output pattern writes what they matched, in the same order: "
                            "'* - *' and '* (*)' turn \"Song - Live\" into \"Song (Live)\".");
    hint->setWordWrap(true);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(m_selectedOnly);
    layout->addWidget(m_matchCase);
    layout->addWidget(hint);
    layout->addWidget(okCancel(this));
    setMinimumWidth(fontMetrics().horizontalAdvance(QString(56, 'x')));
}

void PatternRenameDialog::accept() {
    m_rename.match = us(m_match->text());
    m_rename.output = us(m_output->text());
    m_rename.selectedOnly = m_selectedOnly->isChecked();
    m_rename.matchCase = m_matchCase->isChecked();
    QDialog::accept();
}

// ---- choice among matches ----------------------------------------------------------------------

ChoiceDialog::ChoiceDialog(QWidget* parent, const std::vector<DiscMatch>& matches, bool exact)
    : QDialog(parent) {
    setObjectName("choiceDialog");
    setWindowTitle(kChoiceCaption);
    // The first database's matches lead the list: its prompt names it.
    auto* prompt = new QLabel(
        choicePrompt(matches.empty() ? LookupSource::Gnudb : matches.front().source, exact));
    prompt->setWordWrap(true);
    m_list = new QListWidget;
    m_list->setObjectName("matchList");
    for (size_t i = 0; i < matches.size(); ++i) {
        auto* item = new QListWidgetItem(qs(choiceLine(matches[i])), m_list);
        item->setData(Qt::UserRole, static_cast<int>(i));
    }
    connect(m_list, &QListWidget::itemDoubleClicked, this, &ChoiceDialog::accept);
    // Wide enough for the longest line, within reason.
    int widest = 0;
    for (int i = 0; i < m_list->count(); ++i)
        widest = std::max(widest, m_list->fontMetrics().horizontalAdvance(m_list->item(i)->text()));
    m_list->setMinimumWidth(std::min(widest + 40, 900));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(prompt);
    layout->addWidget(m_list);
    layout->addWidget(okCancel(this));
    setMinimumWidth(fontMetrics().horizontalAdvance(QString(60, 'x')));
}

void ChoiceDialog::accept() {
    QListWidgetItem* item = m_list->currentItem();
    m_choice = item && item->isSelected() ? item->data(Qt::UserRole).toInt() : -1;
    QDialog::accept();
}

// ---- database options ------------------------------------------------------------------------

FreedbOptionsDialog::FreedbOptionsDialog(QWidget* parent, RipSettings& settings,
                                         const std::vector<FreedbSite>& sites)
    : QDialog(parent), m_settings(settings) {
    setObjectName("freedbOptionsDialog");
    setWindowTitle(kOptionsCaption);
    m_email = new QLineEdit(fromSingleByte(settings.szDBEmail));
    m_email->setObjectName("email");
    m_email->setMaxLength(255);
    m_email->setPlaceholderText("you@example.org");
    m_email->setToolTip("The database answers only requests that carry your e-mail address");
    m_proxy = new QLineEdit(fromSingleByte(settings.szDBProxy));
    m_proxy->setObjectName("proxy");
    m_proxy->setMaxLength(255);
    m_useProxy = new QCheckBox("Use a proxy server (host:port)");
    m_useProxy->setObjectName("useProxy");
    m_useProxy->setChecked(!settings.szDBProxy.empty());
    m_proxy->setEnabled(!settings.szDBProxy.empty());
    connect(m_useProxy, &QCheckBox::toggled, this, [this](bool on) {
        m_proxy->setText(on ? kProxyExample : "");
        m_proxy->setEnabled(on);
    });
    m_server = new QComboBox;
    m_server->setObjectName("server");
    m_server->setEditable(true);
    int selected = -1;
    for (const std::string& choice : serverChoices(sites)) {
        m_server->addItem(fromSingleByte(choice));
        if (serverOfChoice(choice) == settings.szDBServer) selected = m_server->count() - 1;
    }
    if (selected >= 0)
        m_server->setCurrentIndex(selected);
    else
        m_server->setEditText(fromSingleByte(settings.szDBServer));
    auto* form = new QFormLayout;
    form->addRow("E-mail address:", m_email);
    form->addRow(m_useProxy);
    form->addRow("Proxy:", m_proxy);
    form->addRow("Server:", m_server);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(okCancel(this));
    setMinimumWidth(fontMetrics().horizontalAdvance(QString(60, 'x')));
}

void FreedbOptionsDialog::accept() {
    const std::string email = toSingleByte(m_email->text().trimmed());
    if (std::string why = emailFieldError(email); !why.empty()) {
        notify(this, why, kOptionsCaption);
        return;
    }
    m_settings.szDBEmail = email;
    m_settings.szDBProxy = m_useProxy->isChecked() ? toSingleByte(m_proxy->text().trimmed()) : "";
    m_settings.szDBServer = serverOfChoice(toSingleByte(m_server->currentText().trimmed()));
    QDialog::accept();
}
