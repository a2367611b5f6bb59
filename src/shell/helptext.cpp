#include "shell/helptext.h"

#include <QStringList>

// Lines 8 to 11 end with a space, and line 7 has two spaces before "--": the
// text is shown exactly as it stands.
QString HelpText()
{
    static const QStringList lines = {
        QStringLiteral("使用说明"),
        QStringLiteral("程序启动后会在程序所在目录创建一个名为Module的文件夹，并在文件夹下创建一个example.ini范例文件"),
        QStringLiteral("并回自动加载到程序的模块类型选择列表中"),
        QStringLiteral("以下是example.ini的文件信息"),
        QStringLiteral("[example] --必须跟范例文件名一致"),
        QStringLiteral("cmdnum=6 --命令总行数"),
        QStringLiteral("cmd1=AT  --以下是对应的1-6条命令集"),
        QStringLiteral("cmd2=ATE0 "),
        QStringLiteral("cmd3=AT+CMGF=1 "),
        QStringLiteral("cmd4=AT+CSCA? "),
        QStringLiteral("cmd5=AT+CMGR=1 "),
        QStringLiteral("cmd6=AT+CMGD=1"),
        QStringLiteral("用户可以根据需要手动添加，或者进入程序后在程序中添加并保存"),
        QStringLiteral("需要注意的是，命令的顺序必须是依次递增为1，命令行总数必须与递增数一致！"),
    };
    return lines.join(QStringLiteral("\r\n"));
}

QString HelpCaption()
{
    return QStringLiteral("QRV无线模块调试工具");
}
