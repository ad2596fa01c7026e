#include "app/options_page.h"
#include "app/shell.h"
#include "cd/dsk_reader.h"
#include "filters/normalize_filter.h"
#include "formats/format_catalog.h"
#include "gui/elided_label.h"
#include "gui/message_box.h"
#include "gui/wizard.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

void fill(QComboBox* box, const std::vector<OptionItem>& items) {
    box->clear();
    for (const OptionItem& i : items) box->addItem(qs(i.text), i.value);
}

void select(QComboBox* box, int32_t value, int fallback = 0) {
    const int row = box->findData(value);
    box->setCurrentIndex(row >= 0 ? row : std::min(fallback, box->count() - 1));
}

int32_t valueOf(const QComboBox* box, int32_t none = 0) {
    return box->currentIndex() >= 0 ? box->currentData().toInt() : none;
}

template <class W>
W* control(W* widget, int number, const char* tooltip) {
    widget->setObjectName(controlName(number));
    if (tooltip) widget->setToolTip(tooltip);
    return widget;
}

QLabel* heading(const QString& text, int number) {
    auto* label = new QLabel(text);
    label->setObjectName(controlName(number));
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, QColor(0, 70, 213));
    label->setPalette(pal);
    QFont f = label->font();
    f.setBold(true);
    label->setFont(f);
    return label;
}

} // namespace

OptionsPageWidget::OptionsPageWidget(RipSettings& settings, TrackPage& page, QWidget* parent)
    : QWizardPage(parent), m_settings(settings), m_page(page) {
    setTitle("Select output options");

    m_outDir = control(new QLineEdit, 330, "Enter directory where the tracks will be written");
    m_outDir->setMaxLength(int(RipSettings::kOutDirUnits));
    auto* browse = control(new QPushButton("Browse..."), 331,
                           "Click to browse for an output directory");
    browse->setAutoDefault(false);
    m_format = control(new QComboBox, 332, "Select an output file format");
    m_dataFormat = control(new QComboBox, 333, "Select the output 'data subformat'");
    m_channels = control(new QComboBox, 334, "Select the output 'channel format'");
    static const char* const kNameTips[10] = {
        "Select what to do with any white-space characters in the input for constructing the "
        "file name",
        "Select the 1st part of the output name",
        "Select the separator between the 1st and 2nd name parts",
        "Select the 2nd part of the output name",
        "Select the separator between the 2nd and 3rd name parts",
        "Select the 3rd part of the output name",
        "Select the separator between the 3rd and 4th name parts",
        "Select the 4th part of the output name",
        "Select the separator between the 4th and 5th name parts",
        "Select the 5th part of the output name"};
    for (int i = 0; i < 10; ++i) {
        m_name[i] = control(new QComboBox, i == 0 ? 345 : 334 + i, kNameTips[i]);
        fill(m_name[i], i == 0 ? spaceItems() : i % 2 ? namePartItems() : separatorItems());
        m_name[i]->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    }
    m_noPrompt = control(new QCheckBox("No overwrite prompt"), 358,
                         "Check if you do not want any prompt before an already existing file "
                         "is overwritten");
    m_example = control(new ElidedLabel, 359, "Output file names will be constructed like this");
    {
        QPalette pal = m_example->palette();
        pal.setColor(QPalette::WindowText, QColor(0, 64, 0));
        m_example->setPalette(pal);
    }
    m_merge = control(new QCheckBox("Merge consecutive tracks"), 344,
                      "Check to merge consecutively tracks into a single output file");
    m_playlist = control(new QCheckBox("Create playlist"), 346,
                         "Check to create an M3U format playlist for the output files (e.g. for "
                         "WinAmp)");
    m_silence = control(new QCheckBox("Remove leading silence"), 347,
                        "Check to remove leading silence (if any) in each track");
    m_cutOff = control(new QCheckBox("Cut off after"), 348,
                       "Check to cut off a track after selected number of seconds");
    m_cutOffLength = control(new QLineEdit, 349, "Track cut off position in seconds (if checked)");
    m_cutOffLength->setMaximumWidth(m_cutOffLength->fontMetrics().horizontalAdvance("0000000") + 16);
    m_fade = control(new QCheckBox("Fade out"), 395, "Fade out at the cut off position");
    m_resample = control(new QCheckBox("Resample to"), 350,
                         "Check to resample to the selected sample rate");
    m_rate = control(new QComboBox, 351, "Enter desired output sample rate");
    m_rate->setEditable(true);
    m_rate->setMinimumContentsLength(7);
    m_algorithm = control(new QComboBox, 353, "Select algorithm to be used for resampling");
    m_algorithmLabel = new QLabel("Algorithm:");
    m_mode = control(new QComboBox, 354,
                     "Select the desired ripping mode:\n'Burst read mode' - this is the fastest "
                     "mode but may not work on all drives.\n'Jitter correcting mode' - use this "
                     "with drives that can not accurately position the 'read head'.\n'Scratch "
                     "correcting mode' - this will attempt to correct data read from scratched "
                     "discs.\n'Verified burst mode' - burst reads checked against AccurateRip; "
                     "tracks it does not confirm are read again in scratch correcting mode.");
    m_speed = control(new QComboBox, 357,
                      "Select read speed. If data is read faster than it can be processed and "
                      "written, then lowering this can be faster!");
    m_normalize = control(new QCheckBox("Normalize"), 371, "Check to adjust the audio volume");
    m_normalizeType = control(new QComboBox, 372, "Select algorithm for the volume adjustment");
    m_target = control(new QLineEdit, 373, "Select target value for the volume adjustment");
    m_target->setMaximumWidth(m_target->fontMetrics().horizontalAdvance("-000.000") + 16);
    m_unit = control(new QComboBox, 374, "Select target value unit");
    m_meta = control(new QComboBox, 383,
                     "Select if the volume adjustment should be made by modifying the audio "
                     "data, or by outputing volume adjustment meta data");
    m_album = control(new QCheckBox("Album gain"), 393, nullptr);
    m_neverClip = control(new QCheckBox("Never clip"), 394, nullptr);

    fill(m_rate, rateItems());
    fill(m_algorithm, algorithmItems());
    fill(m_normalizeType, normalizeTypeItems());
    fill(m_meta, metaItems());
    fill(m_mode, modeItems());

    // ---- layout ----
    auto* output = new QGridLayout;
    output->addWidget(heading("Output directory", 376), 0, 0, 1, 4);
    auto* dirRow = new QHBoxLayout;
    dirRow->addWidget(m_outDir, 1);
    dirRow->addWidget(browse);
    output->addLayout(dirRow, 1, 0, 1, 4);
    output->addWidget(heading("Output format", 377), 2, 0, 1, 4);
    output->addWidget(m_format, 3, 0, 1, 2);
    output->addWidget(m_dataFormat, 3, 2);
    output->addWidget(m_channels, 3, 3);
    output->setColumnStretch(0, 3);
    output->setColumnStretch(2, 2);

    auto* names = new QHBoxLayout;
    names->setSpacing(2);
    for (int i = 1; i < 10; ++i) names->addWidget(m_name[i], i % 2 ? 2 : 1);
    auto* nameGrid = new QGridLayout;
    nameGrid->addWidget(heading("Output file names", 378), 0, 0, 1, 3);
    nameGrid->addLayout(names, 1, 0, 1, 3);
    nameGrid->addWidget(m_name[0], 2, 0);
    nameGrid->addWidget(m_noPrompt, 2, 1);
    nameGrid->addWidget(m_merge, 3, 0);
    nameGrid->addWidget(m_playlist, 3, 1);
    nameGrid->addWidget(m_example, 4, 0, 1, 3);
    nameGrid->setColumnStretch(2, 1);

    auto* processing = new QGridLayout;
    processing->addWidget(heading("Processing", 379), 0, 0, 1, 6);
    processing->addWidget(m_silence, 1, 0, 1, 2);
    processing->addWidget(m_cutOff, 2, 0);
    auto* cutRow = new QHBoxLayout;
    cutRow->addWidget(m_cutOffLength);
    cutRow->addWidget(new QLabel("seconds"));
    cutRow->addWidget(m_fade);
    cutRow->addStretch(1);
    processing->addLayout(cutRow, 2, 1, 1, 5);
    processing->addWidget(m_resample, 3, 0);
    auto* rateRow = new QHBoxLayout;
    rateRow->addWidget(m_rate);
    rateRow->addWidget(new QLabel("Hz"));
    rateRow->addWidget(m_algorithmLabel);
    rateRow->addWidget(m_algorithm, 1);
    processing->addLayout(rateRow, 3, 1, 1, 5);
    processing->addWidget(m_normalize, 4, 0);
    auto* normRow = new QHBoxLayout;
    normRow->addWidget(m_normalizeType, 1);
    normRow->addWidget(m_target);
    normRow->addWidget(m_unit);
    normRow->addWidget(m_meta);
    processing->addLayout(normRow, 4, 1, 1, 5);
    auto* normRow2 = new QHBoxLayout;
    normRow2->addWidget(m_album);
    normRow2->addWidget(m_neverClip);
    normRow2->addStretch(1);
    processing->addLayout(normRow2, 5, 1, 1, 5);
    processing->addWidget(new QLabel("Ripping mode:"), 6, 0);
    auto* readRow = new QHBoxLayout;
    readRow->addWidget(m_mode, 1);
    readRow->addWidget(new QLabel("Read speed:"));
    readRow->addWidget(m_speed);
    processing->addLayout(readRow, 6, 1, 1, 5);
    processing->setColumnStretch(5, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(output);
    layout->addSpacing(6);
    layout->addLayout(nameGrid);
    layout->addSpacing(6);
    layout->addLayout(processing);
    layout->addStretch(1);

    // ---- reactions ----
    connect(browse, &QPushButton::clicked, this, &OptionsPageWidget::browse);
    connect(m_format, &QComboBox::currentIndexChanged, this, [this] {
        if (!m_filling) formatChanged();
    });
    connect(m_dataFormat, &QComboBox::currentIndexChanged, this, [this] {
        if (!m_filling) dataFormatChanged();
    });
    connect(m_channels, &QComboBox::currentIndexChanged, this, [this] {
        if (!m_filling) m_settings.iOutChannels = valueOf(m_channels, 2);
    });
    for (QComboBox* box : m_name)
        connect(box, &QComboBox::currentIndexChanged, this, [this] {
            if (m_filling) return;
            readAll();
            updateExample();
        });
    connect(m_outDir, &QLineEdit::textChanged, this, [this] {
        if (!m_filling) updateExample();
    });
    for (QCheckBox* box : {m_resample, m_cutOff, m_normalize, m_album})
        connect(box, &QCheckBox::toggled, this, [this] {
            if (!m_filling) updateEnabled();
        });
    connect(m_normalizeType, &QComboBox::activated, this, [this] { normalizeTypeChanged(); });
    connect(m_unit, &QComboBox::activated, this, [this] { unitChanged(); });
}

QString OptionsPageWidget::exampleText() const {
    return m_example->fullText();
}

void OptionsPageWidget::initializePage() {
    setButtonText(QWizard::NextButton, "Start >");
    fillAll();
}

void OptionsPageWidget::cleanupPage() {
    readAll();
}

void OptionsPageWidget::fillAll() {
    m_filling = true;
    fill(m_format, fileFormatItems());
    m_format->setCurrentIndex(fileFormatRow(fileFormatItems(), m_settings.szFileFormat));
    m_outDir->setText(qs(m_settings.szOutDir));
    m_noPrompt->setChecked(m_settings.bNoOverwritePrompt);
    m_merge->setChecked(m_settings.bMergeConsecutive);
    m_playlist->setChecked(m_settings.bCreatePlaylist);
    for (int i = 0; i < 10; ++i) select(m_name[i], m_settings.aiName[size_t(i)], -1);
    m_silence->setChecked(m_settings.bRemoveSilence);
    m_cutOff->setChecked(m_settings.bCutOff);
    m_cutOffLength->setText(QString::number(m_settings.iCutOffLength));
    m_fade->setChecked(m_settings.bCutOffFade);
    m_resample->setChecked(m_settings.bResample);
    m_rate->setEditText(QString::number(m_settings.dwNewSampleRate));
    select(m_algorithm, m_settings.eResamplingAlg, -1);
    m_normalize->setChecked(m_settings.bNormalize);
    select(m_normalizeType, m_settings.eNormalizeType, -1);
    m_meta->setCurrentIndex(m_settings.bNormalizeMeta ? 1 : 0);
    m_album->setChecked(m_settings.bNormalizeAlbum);
    m_neverClip->setChecked(m_settings.bNormalizeNeverClip);
    select(m_mode, m_settings.eMode, -1);
    const kyDskReader* source = m_page.source();
    fill(m_speed, speedItems(source ? source->MaxSpeed() : 0));
    select(m_speed, m_settings.iSpeed, m_speed->count() - 1);
    fillUnits();
    m_filling = false;
    formatChanged();
    updateEnabled();
}

void OptionsPageWidget::formatChanged() {
    const int32_t format = valueOf(m_format, -1);
    if (const kyFormatEntry* e = kyFormatCatalog::Instance().Entry(format))
        m_settings.szFileFormat = e->displayName;
    m_filling = true;
    const std::vector<OptionItem> items = dataFormatItems(format);
    fill(m_dataFormat, items);
    m_dataFormat->setCurrentIndex(dataFormatRow(items, m_settings.szDataFormat));
    m_filling = false;
    dataFormatChanged();
    updateExample();
}

void OptionsPageWidget::dataFormatChanged() {
    if (m_dataFormat->currentIndex() >= 0) m_settings.szDataFormat = us(m_dataFormat->currentText());
    m_filling = true;
    fill(m_channels, channelItems(valueOf(m_format, -1)));
    select(m_channels, m_settings.iOutChannels, 0);
    m_filling = false;
    m_settings.iOutChannels = valueOf(m_channels, m_settings.iOutChannels);
}

void OptionsPageWidget::fillUnits() {
    const bool filling = m_filling;
    m_filling = true;
    const auto type = static_cast<uint32_t>(valueOf(m_normalizeType, m_settings.eNormalizeType));
    const std::vector<OptionItem> units = unitItems(type);
    fill(m_unit, units);
    if (units.size() < 2) m_settings.bNormalizeUnitDB = true;
    select(m_unit, m_settings.bNormalizeUnitDB ? 1 : 0, 0);
    m_target->setText(qs(normalizeTargetText(m_settings.fNormalizeTarget, m_settings.bNormalizeUnitDB)));
    m_filling = filling;
}

void OptionsPageWidget::normalizeTypeChanged() {
    normalizeTypeChosen(m_settings, static_cast<uint8_t>(valueOf(m_normalizeType, 11)));
    m_meta->setCurrentIndex(m_settings.bNormalizeMeta ? 1 : 0);
    fillUnits();
    updateEnabled();
}

void OptionsPageWidget::unitChanged() {
    const bool toDb = valueOf(m_unit, 1) != 0;
    if (toDb == m_settings.bNormalizeUnitDB) return;
    m_settings.fNormalizeTarget =
        convertNormalizeTarget(us(m_target->text()), m_settings.fNormalizeTarget, toDb);
    m_settings.bNormalizeUnitDB = toDb;
    m_target->setText(qs(normalizeTargetText(m_settings.fNormalizeTarget, toDb)));
}

void OptionsPageWidget::updateEnabled() {
    const bool resample = m_resample->isChecked();
    m_rate->setEnabled(resample);
    m_algorithm->setEnabled(resample);
    m_algorithmLabel->setEnabled(resample);
    const bool cut = m_cutOff->isChecked();
    m_cutOffLength->setEnabled(cut);
    m_fade->setEnabled(cut);
    const bool on = m_normalize->isChecked();
    m_normalizeType->setEnabled(on);
    m_target->setEnabled(on);
    m_meta->setEnabled(on);
    m_neverClip->setEnabled(on);
    m_unit->setEnabled(on && m_unit->count() >= 2);
    const bool album = on && albumGainAllowed(static_cast<uint32_t>(valueOf(m_normalizeType, 0)));
    if (!album) m_album->setChecked(false);
    m_album->setEnabled(album);
}

void OptionsPageWidget::updateExample() {
    m_example->setFullText(qs(::exampleText(m_settings, m_page.disc(), us(m_outDir->text()))));
}

void OptionsPageWidget::readAll() {
    RipSettings& s = m_settings;
    s.szOutDir = us(m_outDir->text().left(int(RipSettings::kOutDirUnits)));
    s.bNoOverwritePrompt = m_noPrompt->isChecked();
    s.bMergeConsecutive = m_merge->isChecked();
    s.bCreatePlaylist = m_playlist->isChecked();
    for (int i = 0; i < 10; ++i) s.aiName[size_t(i)] = valueOf(m_name[i], 0);
    s.bRemoveSilence = m_silence->isChecked();
    s.bCutOff = m_cutOff->isChecked();
    s.iCutOffLength = static_cast<int32_t>(
        std::clamp<int64_t>(readIntegerField(us(m_cutOffLength->text())), INT32_MIN, INT32_MAX));
    s.bCutOffFade = m_fade->isChecked();
    s.bResample = m_resample->isChecked();
    // A rate that is not one the batch takes is refused before the batch starts.
    const int64_t rate = readRateField(us(m_rate->currentText()), s.dwNewSampleRate);
    s.dwNewSampleRate = rate < 0 || rate > UINT32_MAX ? 0 : static_cast<uint32_t>(rate);
    s.eResamplingAlg = valueOf(m_algorithm, 0);
    s.bNormalize = m_normalize->isChecked();
    if (m_normalizeType->currentIndex() >= 0)
        s.eNormalizeType = static_cast<uint8_t>(valueOf(m_normalizeType));
    double target = 0;
    if (readNumberField(us(m_target->text()), target)) s.fNormalizeTarget = static_cast<float>(target);
    if (m_unit->currentIndex() >= 0) s.bNormalizeUnitDB = valueOf(m_unit) != 0;
    s.bNormalizeMeta = valueOf(m_meta, 0) != 0;
    s.bNormalizeAlbum = m_album->isChecked() && albumGainAllowed(s.eNormalizeType);
    s.bNormalizeNeverClip = m_neverClip->isChecked();
    s.eMode = valueOf(m_mode, 0);
    s.iSpeed = valueOf(m_speed, 0);
}

void OptionsPageWidget::browse() {
    const QString chosen = QFileDialog::getExistingDirectory(
        this, kBrowseTitle, m_outDir->text(), QFileDialog::ShowDirsOnly);
    QString dir = chosen.isEmpty() ? m_outDir->text() : chosen;
    if (!dir.endsWith('/')) dir += '/';
    m_outDir->setText(dir);
}

bool OptionsPageWidget::validatePage() {
    readAll();
    if (std::string why = checkProcessingSettings(m_settings); !why.empty()) {
        notify(this, why);
        return false;
    }
    std::string dir = m_settings.szOutDir;
    const DirectoryCheck check = checkOutputDirectory(dir);
    if (check == DirectoryCheck::Empty) {
        notify(this, kNoOutputDirectory);
        return false;
    }
    m_settings.szOutDir = dir;
    m_outDir->setText(qs(dir));
    if (check == DirectoryCheck::Missing) {
        if (messageBox(this, kCreateDirectoryQuestion, dir, 4) != kyAnswerYes) return false;
        if (!createOutputDirectory(dir)) {
            notify(this, kCreateDirectoryFailed, kShortCaption);
            return false;
        }
    }
    return true;
}
