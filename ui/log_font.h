#pragma once

#include <QFont>
#include <QString>

namespace pelorus {

// The faces the window's fonts ask for; where the system lacks them, Qt's substitution
// table points them at the Korean-capable kKoreanSubstitute.
inline const QString kGulim = QStringLiteral("굴림");
inline const QString kGulimChe = QStringLiteral("굴림체");
inline const QString kKoreanSubstitute = QStringLiteral("Baekmuk Gulim");

// A font described as the window's templates describe them: the character cell height in
// pixels, the average width of a Latin character in pixels (0 keeps the face's own
// proportions) and the weight on the 100-900 scale. The family stays the face asked for.
QFont MakeLogFont(const QString& face, int height, int width, int weight);

}  // namespace pelorus
