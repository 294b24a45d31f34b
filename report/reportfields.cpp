#include "report/reportfields.h"

#include "engine/benchmarkrun.h"

QString &ResultText(ReportFields &fields, ResultField field)
{
    switch (field) {
    case ResultField::PostAllowed:
        return fields.postAllowedText;
    case ResultField::GroupCount:
        return fields.groupCount;
    case ResultField::Speed:
        return fields.speed;
    default:
        break;
    }
    return isExpireField(field) ? fields.expires[hierarchyOf(field)]
                                : fields.counts[hierarchyOf(field)];
}

const QString &ResultText(const ReportFields &fields, ResultField field)
{
    return ResultText(const_cast<ReportFields &>(fields), field);
}
