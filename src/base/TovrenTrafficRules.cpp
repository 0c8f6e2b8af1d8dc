#include "TovrenTrafficRules.h"

namespace TovrenTrafficRules {

const QStringList &domesticDirectDomainSuffixes()
{
    static const QStringList suffixes = {
        QStringLiteral("cn"),
        // Messaging, social and lifestyle.
        QStringLiteral("qq.com"),
        QStringLiteral("wechat.com"),
        QStringLiteral("tencent.com"),
        QStringLiteral("weibo.com"),
        QStringLiteral("xiaohongshu.com"),
        QStringLiteral("zhihu.com"),
        QStringLiteral("douban.com"),
        QStringLiteral("dingtalk.com"),
        // Video and short video.
        QStringLiteral("douyin.com"),
        QStringLiteral("kuaishou.com"),
        QStringLiteral("bilibili.com"),
        QStringLiteral("iqiyi.com"),
        QStringLiteral("youku.com"),
        QStringLiteral("mgtv.com"),
        QStringLiteral("ixigua.com"),
        QStringLiteral("huya.com"),
        QStringLiteral("douyu.com"),
        // E-commerce and payment.
        QStringLiteral("taobao.com"),
        QStringLiteral("tmall.com"),
        QStringLiteral("jd.com"),
        QStringLiteral("pinduoduo.com"),
        QStringLiteral("yangkeduo.com"),
        QStringLiteral("alipay.com"),
        QStringLiteral("tenpay.com"),
        QStringLiteral("vip.com"),
        QStringLiteral("suning.com"),
        // Local services and travel.
        QStringLiteral("meituan.com"),
        QStringLiteral("dianping.com"),
        QStringLiteral("ele.me"),
        QStringLiteral("ctrip.com"),
        QStringLiteral("qunar.com"),
        QStringLiteral("amap.com"),
        QStringLiteral("didiglobal.com"),
        // Search.
        QStringLiteral("baidu.com"),
        QStringLiteral("sogou.com"),
        QStringLiteral("so.com"),
        // Portals and news.
        QStringLiteral("163.com"),
        QStringLiteral("126.com"),
        QStringLiteral("sina.com"),
        QStringLiteral("sohu.com"),
        QStringLiteral("ifeng.com"),
        QStringLiteral("toutiao.com"),
        // Images, CDN and cloud storage of the apps above.
        QStringLiteral("gtimg.com"),
        QStringLiteral("bdstatic.com"),
        QStringLiteral("bdimg.com"),
        QStringLiteral("hdslb.com"),
        QStringLiteral("bilivideo.com"),
        QStringLiteral("byteimg.com"),
        QStringLiteral("pstatp.com"),
        QStringLiteral("douyinpic.com"),
        QStringLiteral("xhscdn.com"),
        QStringLiteral("zhimg.com"),
        QStringLiteral("doubanio.com"),
        QStringLiteral("weibocdn.com"),
        QStringLiteral("alicdn.com"),
        QStringLiteral("aliyuncs.com"),
        QStringLiteral("myqcloud.com"),
        QStringLiteral("meituan.net"),
        QStringLiteral("126.net"),
        QStringLiteral("360buyimg.com"),
        QStringLiteral("ykimg.com"),
    };
    return suffixes;
}

const QStringList &directAddressRanges()
{
    static const QStringList ranges = [] {
        QStringList list = {
            QStringLiteral("10.0.0.0/8"),     QStringLiteral("100.64.0.0/10"), QStringLiteral("127.0.0.0/8"),
            QStringLiteral("169.254.0.0/16"), QStringLiteral("172.16.0.0/12"), QStringLiteral("192.168.0.0/16"),
            QStringLiteral("224.0.0.0/4"),    QStringLiteral("1.12.0.0/14"),   QStringLiteral("1.24.0.0/13"),
        };
        static const int mainlandFirstOctets[] = {14,  27,  36,  39,  42,  49,  58,  59,  60,  61,  101, 103,
                                                  106, 110, 111, 112, 113, 114, 115, 116, 117, 118, 119, 120,
                                                  121, 122, 123, 124, 125, 139, 140, 150, 171, 175, 180, 182,
                                                  183, 202, 203, 210, 211, 218, 219, 220, 221, 222, 223};
        for (int octet : mainlandFirstOctets)
            list.append(QString::number(octet) + QStringLiteral(".0.0.0/8"));
        return list;
    }();
    return ranges;
}

const QStringList &aiDomainSuffixes()
{
    static const QStringList suffixes = {
        QStringLiteral("openai.com"),
        QStringLiteral("chatgpt.com"),
        QStringLiteral("oaistatic.com"),
        QStringLiteral("oaiusercontent.com"),
        QStringLiteral("openaiapi-site.azureedge.net"),
        QStringLiteral("anthropic.com"),
        QStringLiteral("claude.ai"),
        QStringLiteral("sentry.io"),
        QStringLiteral("statsigapi.net"),
        QStringLiteral("segment.io"),
    };
    return suffixes;
}

const QStringList &domesticProxyBypassDomains()
{
    static const QStringList domains = [] {
        QStringList list = {QStringLiteral("localhost"), QStringLiteral("127.0.0.1"), QStringLiteral("::1"),
                            QStringLiteral("*.local")};
        const QStringList &suffixes = domesticDirectDomainSuffixes();
        list.append(suffixes);
        for (const QString &suffix : suffixes)
            list.append(QStringLiteral("*.") + suffix);
        return list;
    }();
    return domains;
}

} // namespace TovrenTrafficRules
