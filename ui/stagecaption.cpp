#include "ui/stagecaption.h"

#include "engine/benchmarkrun.h"
#include "ui/texts.h"

const QString &StageCaption(Stage stage)
{
    static const QString none;
    switch (stage) {
    case Stage::None:
        break;
    case Stage::Post:
        return Texts::LbPost;
    case Stage::Groups:
        return Texts::LbGroups;
    case Stage::Speed:
        return Texts::LbSpeed;
    case Stage::Feed:
        return Texts::LbFeed;
    case Stage::Expire:
        return Texts::LbExpire;
    case Stage::Articles:
        return Texts::LbArticles;
    }
    return none;
}
