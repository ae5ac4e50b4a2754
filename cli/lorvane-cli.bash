# bash completion for lorvane-cli                          -*- shell-script -*-
# Installed as share/bash-completion/completions/lorvane-cli; needs bash-completion.

_lorvane_cli()
{
    local cur prev words cword split
    _init_completion -s || return

    # lorvane-cli bd: RD files on each side.
    if [[ ${words[1]-} == bd && $cword -gt 1 ]]; then
        case $prev in
            --metric)
                COMPREPLY=($(compgen -W 'psnr_y psnr_yuv psnr_611 ssim_y ssim ms_ssim_y' -- "$cur"))
                return
                ;;
            --method)
                COMPREPLY=($(compgen -W 'pchip cubic' -- "$cur"))
                return
                ;;
        esac
        $split && return
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W '--anchor --test --metric --method --csv --report -h --help' -- "$cur"))
        else
            _filedir
        fi
        return
    fi

    case $prev in
        -s | --size)
            COMPREPLY=($(compgen -W 'auto' -- "$cur"))
            return
            ;;
        -p | --pix-fmt)
            COMPREPLY=($(compgen -W 'gray yuv420p yuv422p yuv440p yuv444p
                gray9le gray10le gray12le gray14le gray16le
                yuv420p9le yuv420p10le yuv420p12le yuv420p14le yuv420p16le
                yuv422p9le yuv422p10le yuv422p12le yuv422p14le yuv422p16le
                yuv440p10le yuv440p12le
                yuv444p9le yuv444p10le yuv444p12le yuv444p14le yuv444p16le
                nv12 nv21 p010le p016le yuyv422 uyvy422' -- "$cur"))
            return
            ;;
        --peak)
            COMPREPLY=($(compgen -W 'full scaled' -- "$cur"))
            return
            ;;
        --cpu)
            COMPREPLY=($(compgen -W 'c sse2 avx2 avx512' -- "$cur"))
            return
            ;;
        --offset)
            COMPREPLY=($(compgen -W 'auto' -- "$cur"))
            return
            ;;
        -m | --metrics)
            COMPREPLY=($(compgen -W 'psnr ssim all' -- "$cur"))
            return
            ;;
        --worst-by)
            COMPREPLY=($(compgen -W 'psnr ssim ms-ssim' -- "$cur"))
            return
            ;;
        -n | --frames | --worst | --start | --stream | --series | --rates | --shard)
            return  # a number
            ;;
        -o | --output | --json | --csv | --report | --rd | --manifest)
            _filedir
            return
            ;;
        -h | --help | --version)
            return
            ;;
    esac
    $split && return

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W '-s --size -p --pix-fmt --peak -n --frames
            --offset --start --stream -m --metrics -o --output --json --csv --report --rd --series --rates --manifest --shard --stats --worst --worst-by -q --quiet
            --cpu -h --help --version' -- "$cur"))
        [[ ${COMPREPLY-} == *= ]] && compopt -o nospace
        return
    fi

    # The reference and target sequences: any file.
    _filedir
} &&
    complete -F _lorvane_cli lorvane-cli
