SQL: dbupgrade_version
    UPDATE sys_configure
       SET cfg_value = :ver
     WHERE cfg_key = 'Database.Version';
    params:
        ver             int


SQL: reverseproxy_alload
    SELECT t.*
      FROM v_reverseproxy t
     ORDER
        BY t.pxyno
    ;


-- Every rule with only the columns that the checks and the generator read:
-- converting fewer columns per row keeps a change cheap with many rules.
SQL: reverseproxy_rules
    SELECT t.pxyno
         , t.name
         , t.srcport
         , t.params
      FROM v_reverseproxy t
     ORDER
        BY t.pxyno
    ;


SQL: reverseproxy_acquit
    SELECT t.*
      FROM v_reverseproxy t
     WHERE t.pxyno = :pxyno
     LIMIT 1
    ;
    params:
        pxyno           int


SQL: reverseproxy_exists_name
    SELECT t.*
      FROM v_reverseproxy t
     WHERE t.pxyno <> :pxyno
       AND UPPER(t.name) = UPPER(:name)
     LIMIT 1
    ;
    params:
        pxyno           int
        name            string


SQL: reverseproxy_append
    INSERT INTO t_reverseproxy
    ( pxy_name
    , pxy_srcprotocol
    , pxy_srcport
    , pxy_srcpath
    , pxy_srcurl
    , pxy_params
    )VALUES
    ( :name
    , :srcprotocol
    , :srcport
    , :srcpath
    , :srcurl
    , :params
    );
    params:
        name            string
        srcprotocol     string
        srcport         int
        srcpath         string
        srcurl          string
        params          string


SQL: reverseproxy_change
    UPDATE t_reverseproxy
       SET opr_time        = (DATETIME(CURRENT_TIMESTAMP, 'localtime'))
         , pxy_name        = :name
         , pxy_srcprotocol = :srcprotocol
         , pxy_srcport     = :srcport
         , pxy_srcpath     = :srcpath
         , pxy_srcurl      = :srcurl
         , pxy_params      = :params
     WHERE pxy_no = :pxyno
    ;
    params:
        pxyno           int
        name            string
        srcprotocol     string
        srcport         int
        srcpath         string
        srcurl          string
        params          string


SQL: reverseproxy_remove
    DELETE
      FROM t_reverseproxy
     WHERE pxy_no = :pxyno
    ;
    params:
        pxyno           int


-- An import that replaces the table empties it first, in the same transaction.
SQL: reverseproxy_clear
    DELETE
      FROM t_reverseproxy
    ;
